// One lock for the entry operations of an object entered from several threads at once (telephony
// workers, the main thread's timer), which a holder can step out of while it waits.
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

    // Lets other threads in while this one waits (a prompt's pause); a thread that does not hold
    // the lock passes through unchanged.
    class Pause
    {
    public:
        explicit Pause(LogicLock& lock) : lock_(lock)
        {
            if (lock_.owner.load() != std::this_thread::get_id())
                return;
            saved_ = lock_.depth;
            lock_.depth = 0;
            lock_.owner.store(std::thread::id());
            lock_.mutex.unlock();
        }
        ~Pause()
        {
            if (saved_ == 0)
                return;
            lock_.mutex.lock();
            lock_.owner.store(std::this_thread::get_id());
            lock_.depth = saved_;
        }
        Pause(const Pause&) = delete;
        Pause& operator=(const Pause&) = delete;

    private:
        LogicLock& lock_;
        int saved_ = 0;
    };

private:
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0; // touched only by the holder
};
