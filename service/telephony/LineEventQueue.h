// Runs the handlers of the exchange's line events off the main thread: one strand per line on the
// call model's executor, so the events of a line are handled in the order they came while a slow
// handler (which may wait more than a second for a callback's leg) holds up neither the main
// thread's timers nor the other lines.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace voip {
class Executor;
class Strand;
} // namespace voip

class LineEventQueue
{
public:
    // The process's executor unless told otherwise.
    LineEventQueue();
    explicit LineEventQueue(voip::Executor& executor);
    ~LineEventQueue();
    LineEventQueue(const LineEventQueue&) = delete;
    LineEventQueue& operator=(const LineEventQueue&) = delete;

    // Queues handler behind the line's earlier ones; dropped once Stop has been called. A handler
    // of a kind is skipped when a newer one of the same kind and line is queued behind it: a line's
    // state is what its last event says, and a stale handler would act on a newer call.
    void Post(const std::string& line, const std::string& kind, std::function<void()> handler);
    // Drops what has not started and waits for the handlers running. Idempotent.
    void Stop();

private:
    // Shared with the tasks on the strands, which may outlive this object.
    struct State
    {
        std::mutex mutex;
        std::condition_variable idle;
        int running = 0;
        bool stopping = false;
    };

    voip::Executor& executor_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::mutex linesMutex_;
    std::map<std::string, std::shared_ptr<voip::Strand>> lines_;
    // The newest handler posted per line and kind; a running handler holds off Stop, so this lives.
    std::map<std::string, uint64_t> latest_;
    uint64_t posted_ = 0;
};
