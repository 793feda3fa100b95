// Subscriber checks and the incoming-call log.
#pragma once

#include <string>
#include <vector>

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

    // The checks of many incoming callers in one operation: each caller's subscriber and, with
    // lockout, whether it is locked out.
    struct IncomingCaller
    {
        std::string callerId;
        bool known = false;     // an active subscriber's caller ID (CheckCallerId)
        int uid = -1;           // its ID (GetUID)
        bool lockedOut = false; // asked only with lockout, and only of known callers
    };
    virtual void CheckCallers(std::vector<IncomingCaller>& callers, bool lockout)
    {
        for (IncomingCaller& caller : callers) {
            caller.known = CheckCallerId(caller.callerId);
            caller.uid = caller.known ? GetUID(caller.callerId) : -1;
            caller.lockedOut = lockout && caller.known && IsLockedOut(caller.callerId);
        }
    }
    // The log rows of many incoming calls, as SaveIncomingCall writes them; each id receives its row's ID.
    struct IncomingRow
    {
        std::string callerId;
        int uid = -1;
        int result = 0;
        std::string dest;
        int id = -1;
    };
    virtual void SaveIncomingCalls(std::vector<IncomingRow>& rows)
    {
        for (IncomingRow& row : rows)
            SaveIncomingCall(row.callerId, row.uid, row.result, row.dest, row.id);
    }

    // The lockout of callers after repeated sessions with wrong PINs, kept in the database so that it
    // outlives a restart. Without its objects the feature stays off: these defaults say so.
    enum class LockoutStore { Ready, Missing, Unknown /* the database did not answer */ };
    virtual LockoutStore PinLockoutStore() { return LockoutStore::Missing; }
    // Whether the caller ID is locked out now.
    virtual bool IsLockedOut(const std::string&) { return false; }
    struct FailedSession
    {
        bool recorded = false;    // written to the database
        int failures = 0;         // failed sessions in the current window, this one included
        bool lockedNow = false;   // this session started the lock
    };
    // Counts one failed session; `threshold` of them within `windowMinutes` lock the caller ID for
    // `lockMinutes`.
    virtual FailedSession RecordFailedSession(const std::string&, int /*uid*/, int /*threshold*/,
                                              int /*windowMinutes*/, int /*lockMinutes*/)
    {
        return {};
    }
    // The right PIN: the failed sessions so far no longer count (a lock in force stays).
    virtual void ClearFailedSessions(const std::string&) {}

protected:
    ~IDBBackend() = default;
};
