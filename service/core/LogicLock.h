// One lock for the entry operations of an object entered from several threads at once (telephony
// workers, the main thread's timer). An operation runs to its end under it: nothing it calls waits.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class LogicLock
{
public:
    // Held for the life of an entry operation. An operation entered from another on the same thread
    // does not lock again.
    class Entry
    {
    public:
        explicit Entry(LogicLock& lock) : lock_(lock)
        {
            if (lock_.owner.load() == std::this_thread::get_id()) {
                ++lock_.depth;
                return;
            }
            lock_.mutex.lock();
            lock_.owner.store(std::this_thread::get_id());
            lock_.depth = 1;
        }
        ~Entry()
        {
            if (--lock_.depth == 0) {
                lock_.owner.store(std::thread::id());
                lock_.mutex.unlock();
            }
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        LogicLock& lock_;
    };

private:
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0; // touched only by the holder
};
