// Lines of text reported from any thread, awaited with a timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

class EventLog
{
public:
    void Add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        cv_.notify_all();
    }
    // Waits until count events start with prefix.
    bool WaitFor(const std::string& prefix, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return CountLocked(prefix) >= count; });
    }
    size_t Count(const std::string& prefix) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(prefix);
    }
    std::vector<std::string> All() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    size_t CountLocked(const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& e : events_)
            n += e.compare(0, prefix.size(), prefix) == 0;
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

} // namespace voip
