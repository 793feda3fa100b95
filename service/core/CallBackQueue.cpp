#include "service/core/CallBackQueue.h"

#include "common/Logging.h"
#include "service/core/ICBSrvSettings.h"

#include <algorithm>

QueueEntry CallBackQueue::activeEntry(const std::string& number) const
{
    auto it = active.find(number);
    return it != active.end() ? it->second : QueueEntry{number, 0};
}

bool CallBackQueue::waits(const std::string& number) const
{
    return std::any_of(waiting.begin(), waiting.end(), [&](const QueueEntry& e) { return e.number == number; });
}

void CallBackQueue::leftActive(const QueueEntry& entry)
{
    if (journal && entry.incomingId >= 0 && !waits(entry.number))
        journal->Gone(entry.incomingId);
}

void CallBackQueue::PutInQueue(const std::string& number)
{
    PutInQueue(number, -1, -1);
}

void CallBackQueue::PutInQueue(const std::string& number, int incomingId, int uid)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue going to put call in queue callerid=", number);
    if (number.empty()) {
        Log(Debug, "CallBackQueue got empty number to queue, exiting");
        return;
    }
    if (active.count(number)) {
        Log(Informational, "CallBackQueue already trying to call to callerid=", number);
        return;
    }
    // A second request from a number that still waits is the same request: one callback answers both.
    if (waits(number)) {
        Log(Informational, "CallBackQueue already waiting to call to callerid=", number);
        return;
    }
    waiting.push_back({number, 0, incomingId, uid});
    if (journal && incomingId >= 0)
        journal->Queued(incomingId, uid);
    Log(Informational, "CallBackQueue put call in queue callerid=", number);
}

bool CallBackQueue::RequestOf(const std::string& number, int& incomingId, int& uid)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = active.find(number);
    incomingId = it != active.end() ? it->second.incomingId : -1;
    uid = it != active.end() ? it->second.uid : -1;
    return incomingId >= 0;
}

void CallBackQueue::OnNoFreeLines(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnNoFreeLines number=", number);
    // A missing line is not a failed attempt: the entry waits again with its tries unchanged.
    const QueueEntry entry = activeEntry(number);
    waiting.push_back(entry);
    if (journal && entry.incomingId >= 0)
        journal->BackInLine(entry.incomingId, entry.tries);
}

void CallBackQueue::OnCallBackFailed(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackFailed number=", number);
    QueueEntry entry = activeEntry(number);
    ++entry.tries;
    const int maxTries = settings ? settings->GetMaxCallBackTries() : 0;
    active.erase(number);
    if (entry.tries < maxTries) {
        waiting.push_back(entry);
        if (journal && entry.incomingId >= 0)
            journal->BackInLine(entry.incomingId, entry.tries);
    } else {
        Log(Warning, "Exceeded number of callback tryes ", entry.tries, " to number ", number);
        leftActive(entry);
    }
}

void CallBackQueue::OnCallBackSucceed(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackSucceed number=", number);
    endActive(number);
}

void CallBackQueue::OnCallBackEnded(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackEnded number=", number);
    endActive(number);
}

void CallBackQueue::endActive(const std::string& number)
{
    auto it = active.find(number);
    if (it == active.end())
        return;
    const QueueEntry entry = it->second;
    active.erase(it);
    leftActive(entry);
}

int CallBackQueue::GetLength()
{
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(waiting.size());
}

bool CallBackQueue::Holds(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    return active.count(number) > 0 || waits(number);
}

std::string CallBackQueue::Dequeue()
{
    std::lock_guard<std::mutex> guard(lock);
    if (waiting.empty())
        return std::string();
    QueueEntry entry = waiting.front();
    waiting.pop_front();
    active[entry.number] = entry;
    return entry.number;
}

int CallBackQueue::DropWaiting(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto before = waiting.size();
    const auto dropped = std::stable_partition(waiting.begin(), waiting.end(),
                                               [&](const QueueEntry& entry) { return entry.number != number; });
    // A persisted queue must not bring them back at the next start.
    for (auto it = dropped; it != waiting.end(); ++it)
        if (journal && it->incomingId >= 0 && !active.count(number))
            journal->Gone(it->incomingId);
    waiting.erase(dropped, waiting.end());
    return static_cast<int>(before - waiting.size());
}

void CallBackQueue::SetSettings(ICBSrvSettings* s)
{
    std::lock_guard<std::mutex> guard(lock);
    settings = s;
}

void CallBackQueue::SetJournal(IQueueJournal* j)
{
    std::lock_guard<std::mutex> guard(lock);
    journal = j;
}

int CallBackQueue::Restore(const std::vector<QueueEntry>& entries)
{
    std::lock_guard<std::mutex> guard(lock);
    std::deque<QueueEntry> restored;
    for (const QueueEntry& entry : entries) {
        const bool known = entry.number.empty() || active.count(entry.number) || waits(entry.number) ||
                           std::any_of(restored.begin(), restored.end(),
                                       [&](const QueueEntry& e) { return e.number == entry.number; });
        if (!known)
            restored.push_back(entry);
        else if (journal && entry.incomingId >= 0)
            journal->Gone(entry.incomingId);
    }
    waiting.insert(waiting.begin(), restored.begin(), restored.end());
    return static_cast<int>(restored.size());
}
