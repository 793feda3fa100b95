// Threads of the IVR: one timer thread, and workers that grow with demand (dialogue handlers may
// sleep, so a fixed pool would queue calls behind them). Work posted to one strand runs in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace voip {

class Executor
{
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    Executor();
    ~Executor(); // runs nothing more; waits for running tasks and threads to end
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Runs task on a worker thread.
    void Post(Task task);
    // Runs task on a worker after ms milliseconds; the id cancels it.
    uint64_t After(int ms, Task task);
    void Cancel(uint64_t id);

    size_t Workers() const;

    // The process's shared scheduler.
    static Executor& Instance();

private:
    void WorkerMain();
    void TimerMain();

    mutable std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable timerCv_;
    std::deque<Task> queue_;
    std::multimap<Clock::time_point, std::pair<uint64_t, Task>> timers_;
    std::map<uint64_t, Clock::time_point> timerIndex_;
    uint64_t lastTimer_ = 0;
    size_t workers_ = 0;
    size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
    std::thread timerThread_;
};

// Tasks posted to a strand run one at a time in posting order, on the scheduler's workers.
class Strand : public std::enable_shared_from_this<Strand>
{
public:
    explicit Strand(Executor& scheduler) : scheduler_(scheduler) {}
    void Post(Executor::Task task);
    // True on the thread currently running this strand's task.
    bool RunningHere() const;

private:
    void Drain();

    Executor& scheduler_;
    mutable std::mutex mutex_;
    std::deque<Executor::Task> tasks_;
    bool active_ = false;
    std::thread::id runner_;
};

} // namespace voip
