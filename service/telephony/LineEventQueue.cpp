#include "service/telephony/LineEventQueue.h"

#include "common/Logging.h"

#include <exception>
#include <vector>

LineEventQueue::~LineEventQueue()
{
    Stop();
}

void LineEventQueue::Post(const std::string& line, std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    auto& worker = workers_[line];
    if (!worker) {
        worker = std::make_unique<Worker>();
        Worker* w = worker.get();
        w->thread = std::thread([this, w] { Run(*w); });
    }
    worker->pending.push_back(std::move(handler));
    changed_.notify_all();
}

void LineEventQueue::Run(Worker& worker)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !worker.pending.empty(); });
        if (stopping_)
            return;
        std::function<void()> handler = std::move(worker.pending.front());
        worker.pending.pop_front();
        lock.unlock();
        try {
            handler();
        } catch (const std::exception& e) {
            Log(Error, "Line event handler failed: ", e.what());
        }
        lock.lock();
    }
}

void LineEventQueue::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& entry : workers_)
            if (entry.second->thread.joinable())
                threads.push_back(std::move(entry.second->thread));
        changed_.notify_all();
    }
    for (std::thread& t : threads)
        t.join();
}
