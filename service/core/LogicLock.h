// One lock for the entry operations of an object entered from several threads at once (telephony
// workers, the main thread's timer). An operation runs to its end under it: nothing it calls waits.
// An urgent entry (the queue timer's tick) goes before the ordinary ones waiting, so a burst of calls
// holds the timer up by one operation at most.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class LogicLock
{
public:
    enum class Urgency { Ordinary, Urgent };

    // Held for the life of an entry operation. An operation entered from another on the same thread
    // does not lock again.
    class Entry
    {
    public:
        explicit Entry(LogicLock& lock, Urgency urgency = Urgency::Ordinary) : lock_(lock)
        {
            if (lock_.owner.load() == std::this_thread::get_id()) {
                ++lock_.depth;
                return;
            }
            lock_.Acquire(urgency == Urgency::Urgent);
            lock_.owner.store(std::this_thread::get_id());
            lock_.depth = 1;
        }
        ~Entry()
        {
            if (--lock_.depth == 0) {
                lock_.owner.store(std::thread::id());
                lock_.Release();
            }
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        LogicLock& lock_;
    };

private:
    void Acquire(bool urgent)
    {
        std::unique_lock<std::mutex> guard(mutex);
        if (urgent) {
            ++urgentWaiting;
            urgentTurn.wait(guard, [this] { return !held; });
            --urgentWaiting;
        } else {
            ordinaryTurn.wait(guard, [this] { return !held && urgentWaiting == 0; });
        }
        held = true;
    }

    void Release()
    {
        bool urgentNext;
        {
            std::lock_guard<std::mutex> guard(mutex);
            held = false;
            urgentNext = urgentWaiting > 0;
        }
        if (urgentNext)
            urgentTurn.notify_one();
        else
            ordinaryTurn.notify_one();
    }

    std::mutex mutex;
    std::condition_variable urgentTurn, ordinaryTurn;
    bool held = false;
    int urgentWaiting = 0;
    std::atomic<std::thread::id> owner{};
    int depth = 0; // touched only by the holder
};
