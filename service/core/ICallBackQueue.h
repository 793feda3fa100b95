// The queue of numbers waiting for a callback.
#pragma once

#include <string>

class ICBSrvSettings;

class ICallBackQueue
{
public:
    virtual void PutInQueue(const std::string& number) = 0;
    virtual void OnNoFreeLines(const std::string& number) = 0;
    virtual void OnCallBackFailed(const std::string& number) = 0;
    virtual void OnCallBackSucceed(const std::string& number) = 0;
    virtual void OnCallBackEnded(const std::string& number) = 0;
    virtual int GetLength() = 0;
    virtual std::string Dequeue() = 0;
    // Removes every waiting entry of the number (one being called back now is left); how many went.
    virtual int DropWaiting(const std::string& number) = 0;
    virtual ~ICallBackQueue() = default;
    virtual void SetSettings(ICBSrvSettings* settings) = 0;
};
