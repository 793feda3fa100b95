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
        Log(Warning, "IVR task failed: ", e.what());
    } catch (...) {
        Log(Warning, "IVR task failed");
    }
}
} // namespace

Executor::Executor() : timerThread_([this] { TimerMain(); }) {}

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
    timerCv_.notify_all();
    timerThread_.join();
    for (auto& t : threads_)
        t.join();
    queued.clear();
    timers.clear();
}

Executor& Executor::Instance()
{
    static Executor instance;
    return instance;
}

void Executor::Post(Task task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    queue_.push_back(std::move(task));
    // A new worker whenever none is free to take the task at once.
    if (idle_ < queue_.size() && workers_ < kMaxWorkers) {
        ++workers_;
        threads_.emplace_back([this] { WorkerMain(); });
    } else {
        workCv_.notify_one();
    }
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
    timerCv_.notify_one();
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
    for (;;) {
        ++idle_;
        workCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (stopping_)
            return;
        Task task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        RunGuarded(task);
        task = nullptr; // captured state goes before the lock is taken again
        lock.lock();
    }
}

void Executor::TimerMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timerCv_.wait(lock);
            continue;
        }
        auto first = timers_.begin();
        if (first->first > Clock::now()) {
            // A copy: the wait reads its deadline again after waking, when Cancel may have erased it.
            const auto due = first->first;
            timerCv_.wait_until(lock, due);
            continue;
        }
        Task task = std::move(first->second.second);
        timerIndex_.erase(first->second.first);
        timers_.erase(first);
        lock.unlock();
        Post(std::move(task));
        lock.lock();
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
