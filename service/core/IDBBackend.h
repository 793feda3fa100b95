// Subscriber checks and the incoming-call log.
#pragma once

#include <string>

class IDBBackend
{
public:
    virtual bool CheckCallerId(const std::string& callerId) = 0;
    virtual bool CheckPin(const std::string& callerId, const std::string& pin) = 0;
    virtual int GetTransferCOS(const std::string& callerId) = 0;
    // True when the number may be reached.
    virtual bool checkDialedNumber(const std::string& callerId, const std::string& number) = 0;
    // id receives the new row's ID, or -1.
    virtual void SaveIncomingCall(const std::string& callerId, int uid, int result, const std::string& dest,
                                  int& id) = 0;
    virtual int GetUID(const std::string& callerId) = 0;

protected:
    ~IDBBackend() = default;
};
