#include "voip/core/Executor.h"

#include "voip/core/Log.h"

#include <exception>

namespace voip {

namespace {
constexpr size_t kMaxWorkers = 2048;

void RunGuarded(const Executor::Task& task)
{
    try {
        task();
    } catch (const std::exception& e) {
        Log(Warning, "voip: task failed: ", e.what());
    } catch (...) {
        Log(Warning, "voip: task failed");
    }
}
} // namespace

Executor::Executor(std::chrono::milliseconds idleLifetime)
    : idleLifetime_(idleLifetime), supervisor_([this] { SupervisorMain(); })
{
}

Executor::~Executor()
{
    // Tasks never run are dropped outside the lock: what they hold may call Post or Cancel as it goes.
    std::deque<Task> queued;
    std::multimap<Clock::time_point, std::pair<uint64_t, Task>> timers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queued.swap(queue_);
        timers.swap(timers_);
        timerIndex_.clear();
    }
    workCv_.notify_all();
    supervisorCv_.notify_all();
    supervisor_.join();
    // Nobody starts or ends a worker's handle any more: the supervisor is gone and workers only leave.
    for (auto& entry : threads_)
        entry.second.join();
    for (auto& t : ended_)
        t.join();
    queued.clear();
    timers.clear();
}

Executor& Executor::Instance()
{
    static Executor instance;
    return instance;
}

bool Executor::WorkerWanted() const
{
    return !stopping_ && queue_.size() > idle_ + starting_ && workers_ < kMaxWorkers;
}

void Executor::Post(Task task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    queue_.push_back(std::move(task));
    workCv_.notify_one();
    if (WorkerWanted())
        supervisorCv_.notify_one();
}

uint64_t Executor::After(int ms, Task task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return 0;
    uint64_t id = ++lastTimer_;
    auto when = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    timers_.emplace(when, std::make_pair(id, std::move(task)));
    timerIndex_[id] = when;
    supervisorCv_.notify_one();
    return id;
}

void Executor::Cancel(uint64_t id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = timerIndex_.find(id);
    if (it == timerIndex_.end())
        return;
    auto range = timers_.equal_range(it->second);
    for (auto t = range.first; t != range.second; ++t)
        if (t->second.first == id) {
            timers_.erase(t);
            break;
        }
    timerIndex_.erase(it);
}

size_t Executor::Workers() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_;
}

void Executor::WorkerMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    --starting_;
    for (;;) {
        ++idle_;
        const bool woken = workCv_.wait_for(lock, idleLifetime_, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_)
            return;
        if (!woken) {
            if (workers_ <= kKeptWorkers)
                continue;
            // Idle for long: this thread goes; the supervisor joins it.
            auto self = threads_.find(std::this_thread::get_id());
            if (self == threads_.end())
                continue; // the supervisor has not filed this thread's handle yet
            --workers_;
            ended_.push_back(std::move(self->second));
            threads_.erase(self);
            supervisorCv_.notify_one();
            return;
        }
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        RunGuarded(task);
        task = nullptr; // captured state goes before the lock is taken again
        lock.lock();
    }
}

void Executor::SupervisorMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (WorkerWanted()) {
            // Started outside the lock, which the posting threads (the pacing thread among them) wait for.
            ++workers_;
            ++starting_;
            lock.unlock();
            std::thread worker([this] { WorkerMain(); });
            lock.lock();
            const auto id = worker.get_id();
            threads_.emplace(id, std::move(worker));
            continue;
        }
        if (!ended_.empty()) {
            std::vector<std::thread> ended;
            ended.swap(ended_);
            lock.unlock();
            for (auto& t : ended)
                t.join();
            lock.lock();
            continue;
        }
        auto now = Clock::now();
        bool moved = false;
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto first = timers_.begin();
            queue_.push_back(std::move(first->second.second));
            timerIndex_.erase(first->second.first);
            timers_.erase(first);
            moved = true;
        }
        if (moved) {
            workCv_.notify_all();
            continue; // the tasks moved may want workers
        }
        // Every reason to wake is state the loop reads again: a spurious or early wake-up costs a pass.
        if (timers_.empty()) {
            supervisorCv_.wait(lock);
        } else {
            // A copy: the wait reads its deadline again after waking, when Cancel may have erased it.
            const auto due = timers_.begin()->first;
            supervisorCv_.wait_until(lock, due);
        }
    }
}

void Strand::Post(Executor::Task task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (active_)
        return;
    active_ = true;
    scheduler_.Post([self = shared_from_this()] { self->Drain(); });
}

bool Strand::RunningHere() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return active_ && runner_ == std::this_thread::get_id();
}

void Strand::Drain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    runner_ = std::this_thread::get_id();
    while (!tasks_.empty()) {
        Executor::Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        RunGuarded(task);
        task = nullptr;
        lock.lock();
    }
    runner_ = {};
    active_ = false;
}

} // namespace voip
