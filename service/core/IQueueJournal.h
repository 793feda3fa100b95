// Where the callback queue's changes are written through to, so that it survives a restart. Every
// call returns at once; the writes happen later, in the order of the calls.
#pragma once

class IQueueJournal
{
public:
    // A request (its INCOMINGLOG row) was queued for subscriber uid.
    virtual void Queued(int incomingId, int uid) = 0;
    // It waits again, behind every number now waiting, after `tries` failed attempts.
    virtual void BackInLine(int incomingId, int tries) = 0;
    // It neither waits nor is being called back any more: answered, ended or given up.
    virtual void Gone(int incomingId) = 0;

protected:
    ~IQueueJournal() = default;
};
