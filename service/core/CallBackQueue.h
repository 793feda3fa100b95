// Numbers waiting for a callback, in arrival order, and the numbers being called back now.
#pragma once

#include "service/core/ICallBackQueue.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <string>

struct QueueEntry
{
    std::string number;
    int tries = 0; // failed callback attempts so far
};

// Safe from any thread: the logic reaches it from telephony workers and the queue timer at once.
class CallBackQueue : public ICallBackQueue
{
public:
    void PutInQueue(const std::string& number) override;
    void OnNoFreeLines(const std::string& number) override;
    void OnCallBackFailed(const std::string& number) override;
    void OnCallBackSucceed(const std::string& number) override;
    void OnCallBackEnded(const std::string& number) override;
    int GetLength() override;
    std::string Dequeue() override;
    int DropWaiting(const std::string& number) override;
    void SetSettings(ICBSrvSettings* settings) override;

private:
    QueueEntry activeEntry(const std::string& number) const;

    std::deque<QueueEntry> waiting;
    std::map<std::string, QueueEntry> active;
    ICBSrvSettings* settings = nullptr;
    mutable std::mutex lock;
};
