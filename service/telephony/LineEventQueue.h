// Runs the handlers of the exchange's line events off the main thread: one worker per line, so the
// events of a line are handled in the order they came while a slow handler (which may wait more than
// a second for a callback's leg) holds up neither the main thread's timers nor the other lines.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class LineEventQueue
{
public:
    LineEventQueue() = default;
    ~LineEventQueue();
    LineEventQueue(const LineEventQueue&) = delete;
    LineEventQueue& operator=(const LineEventQueue&) = delete;

    // Queues handler behind the line's earlier ones; dropped once Stop has been called.
    void Post(const std::string& line, std::function<void()> handler);
    // Drops what has not started, waits for the handlers running and ends the workers. Idempotent.
    void Stop();

private:
    struct Worker
    {
        std::deque<std::function<void()>> pending;
        std::thread thread;
    };
    void Run(Worker& worker);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Worker>> workers_;
    bool stopping_ = false;
};
