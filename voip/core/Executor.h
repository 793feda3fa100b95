// The call model's threads: workers that grow with demand (handlers may sleep, so a fixed pool would
// queue calls behind them) and go again once idle, and one supervisor thread that runs the timers and
// starts the workers, so that posting never starts a thread (the media pacing thread posts).
// Work posted to one strand runs in order.
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

    // A worker idle this long ends, down to kKeptWorkers (the default).
    static constexpr std::chrono::seconds kIdleLifetime{10};
    static constexpr size_t kKeptWorkers = 2;

    explicit Executor(std::chrono::milliseconds idleLifetime = kIdleLifetime);
    ~Executor(); // runs nothing more; waits for running tasks and threads to end
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Runs task on a worker thread. Never starts a thread itself: a worker missing is started by
    // the supervisor.
    void Post(Task task);
    // Runs task on a worker after ms milliseconds; the id cancels it.
    uint64_t After(int ms, Task task);
    void Cancel(uint64_t id);

    // Worker threads alive now.
    size_t Workers() const;

    // The process's shared scheduler.
    static Executor& Instance();

private:
    void WorkerMain();
    void SupervisorMain();
    // Caller holds mutex_.
    bool WorkerWanted() const;

    const std::chrono::milliseconds idleLifetime_;
    mutable std::mutex mutex_;
    std::condition_variable workCv_;
    std::condition_variable supervisorCv_;
    std::deque<Task> queue_;
    std::multimap<Clock::time_point, std::pair<uint64_t, Task>> timers_;
    std::map<uint64_t, Clock::time_point> timerIndex_;
    uint64_t lastTimer_ = 0;
    size_t workers_ = 0;  // alive, starting ones included
    size_t starting_ = 0; // started, not yet waiting for work
    size_t idle_ = 0;
    bool stopping_ = false;
    std::map<std::thread::id, std::thread> threads_;
    std::vector<std::thread> ended_; // workers that left after idling, joined by the supervisor
    std::thread supervisor_;
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
