#include "service/core/CallBackQueue.h"

#include "common/Logging.h"
#include "service/core/ICBSrvSettings.h"

QueueEntry CallBackQueue::activeEntry(const std::string& number) const
{
    auto it = active.find(number);
    return it != active.end() ? it->second : QueueEntry{number, 0};
}

void CallBackQueue::PutInQueue(const std::string& number)
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
    waiting.push_back({number, 0});
    Log(Informational, "CallBackQueue put call in queue callerid=", number);
}

void CallBackQueue::OnNoFreeLines(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnNoFreeLines number=", number);
    // A missing line is not a failed attempt: the entry waits again with its tries unchanged.
    waiting.push_back(activeEntry(number));
}

void CallBackQueue::OnCallBackFailed(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackFailed number=", number);
    QueueEntry entry = activeEntry(number);
    ++entry.tries;
    const int maxTries = settings ? settings->GetMaxCallBackTries() : 0;
    if (entry.tries < maxTries)
        waiting.push_back(entry);
    else
        Log(Warning, "Exceeded number of callback tryes ", entry.tries, " to number ", number);
    active.erase(number);
}

void CallBackQueue::OnCallBackSucceed(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackSucceed number=", number);
    active.erase(number);
}

void CallBackQueue::OnCallBackEnded(const std::string& number)
{
    std::lock_guard<std::mutex> guard(lock);
    Log(Debug, "CallBackQueue::OnCallBackEnded number=", number);
    active.erase(number);
}

int CallBackQueue::GetLength()
{
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(waiting.size());
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
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [&](const QueueEntry& entry) { return entry.number == number; }),
                  waiting.end());
    return static_cast<int>(before - waiting.size());
}

void CallBackQueue::SetSettings(ICBSrvSettings* s)
{
    std::lock_guard<std::mutex> guard(lock);
    settings = s;
}
