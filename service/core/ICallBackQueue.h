// The queue of numbers waiting for a callback.
#pragma once

#include <string>

class ICBSrvSettings;

class ICallBackQueue
{
public:
    virtual void PutInQueue(const std::string& number) = 0;
    // The same for the request logged as INCOMINGLOG row incomingId of subscriber uid (-1: unknown),
    // which the queue keeps with the number so that it can be persisted and accounted for.
    virtual void PutInQueue(const std::string& number, int incomingId, int uid)
    {
        (void)incomingId;
        (void)uid;
        PutInQueue(number);
    }
    // The request behind a number being called back; false when the number is not active or its
    // request is unknown.
    virtual bool RequestOf(const std::string& number, int& incomingId, int& uid)
    {
        (void)number;
        incomingId = uid = -1;
        return false;
    }
    virtual void OnNoFreeLines(const std::string& number) = 0;
    virtual void OnCallBackFailed(const std::string& number) = 0;
    virtual void OnCallBackSucceed(const std::string& number) = 0;
    virtual void OnCallBackEnded(const std::string& number) = 0;
    virtual int GetLength() = 0;
    // Whether the number waits or is being called back: queueing it again adds nothing.
    virtual bool Holds(const std::string& number)
    {
        (void)number;
        return false;
    }
    virtual std::string Dequeue() = 0;
    // Removes every waiting entry of the number (one being called back now is left); how many went.
    virtual int DropWaiting(const std::string& number) = 0;
    virtual ~ICallBackQueue() = default;
    virtual void SetSettings(ICBSrvSettings* settings) = 0;
};
