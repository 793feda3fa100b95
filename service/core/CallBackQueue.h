// Numbers waiting for a callback, in arrival order, and the numbers being called back now.
#pragma once

#include "service/core/ICallBackQueue.h"
#include "service/core/IQueueJournal.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct QueueEntry
{
    std::string number;
    int tries = 0; // failed callback attempts so far
    int incomingId = -1; // the request's INCOMINGLOG row, -1 when it could not be logged
    int uid = -1;
};

// Safe from any thread: the logic reaches it from telephony workers and the queue timer at once.
class CallBackQueue : public ICallBackQueue
{
public:
    void PutInQueue(const std::string& number) override;
    void PutInQueue(const std::string& number, int incomingId, int uid) override;
    bool RequestOf(const std::string& number, int& incomingId, int& uid) override;
    void OnNoFreeLines(const std::string& number) override;
    void OnCallBackFailed(const std::string& number) override;
    void OnCallBackSucceed(const std::string& number) override;
    void OnCallBackEnded(const std::string& number) override;
    int GetLength() override;
    bool Holds(const std::string& number) override;
    std::string Dequeue() override;
    int DropWaiting(const std::string& number) override;
    void SetSettings(ICBSrvSettings* settings) override;

    // Changes are written through to the journal from now on (nullptr: no more).
    void SetJournal(IQueueJournal* journal);
    // Entries read back from the journal after a restart, oldest first: they wait before every number
    // queued since. One whose number already waits or is being called is dropped (and its row gone).
    // Returns how many were taken.
    int Restore(const std::vector<QueueEntry>& entries);

private:
    QueueEntry activeEntry(const std::string& number) const;
    bool waits(const std::string& number) const;
    // After the number left active: its row goes unless the number still waits.
    void leftActive(const QueueEntry& entry);
    // The number's callback is over, whatever its outcome: it leaves active.
    void endActive(const std::string& number);

    std::deque<QueueEntry> waiting;
    std::map<std::string, QueueEntry> active;
    ICBSrvSettings* settings = nullptr;
    IQueueJournal* journal = nullptr;
    mutable std::mutex lock;
};
