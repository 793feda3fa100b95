// The callback rules: who is served, what they hear, what is logged, when a number is called back,
// how PIN tries are counted and whether a destination may be reached. Telephony is left to the
// derived classes through the pure operations.
#pragma once

#include "service/core/LogicLock.h"

#include <QObject>

#include <map>
#include <string>
#include <vector>

class CBSrvSettings;
class CallBackJournal;
class ICBSrvSettings;
class ICallBackQueue;
class IDBBackend;
class INorCOMService;
class QTimer;

// Entered from telephony workers and the queue timer at once: every entry operation holds logicLock
// to its end, so a check and the act on it (queue length, then queueing) cannot be split.
class CallBackLogic : public QObject
{
    Q_OBJECT

public:
    CallBackLogic();

    virtual void PlayOGMIncommingSuccess(void* call) = 0;
    virtual void PlayOGMIncommingQueueFull(void* call) = 0;
    virtual void PlayOGMIncommingWrongCid(void* call) = 0;
    virtual void PlayOGMEnterNumber(void* call) = 0;
    virtual void PlayOGMEnterPin(void* call) = 0;
    virtual void PlayOGMWrongPin(void* call) = 0;
    virtual void PlayOGMWrongPinDisconnect(void* call) = 0;
    virtual void PlayOGMTransferDenied(void* call) = 0;
    virtual void MakeCallBack(const std::string& number) = 0;
    virtual void TransferCall(const std::string& destination, void* call) = 0;
    virtual int SaveLineCOS(const std::string& lineName);
    virtual void RestoreLineCOS(const std::string& lineName);
    virtual void Initialize();
    virtual void OnIncommingCall(const std::string& callerId, void* call);
    // Calls that came in together, handled in their order as OnIncommingCall handles one, in one
    // entry: their caller checks are one database operation, and their rows another.
    struct IncomingCall
    {
        std::string callerId;
        void* call = nullptr;
    };
    virtual void OnIncommingCalls(const std::vector<IncomingCall>& calls);
    virtual void OnCallBackReady();
    virtual void OnNoFreeLines(const std::string& number);
    virtual void OnCallBackEnded(const std::string& number);
    virtual void OnCallBackFailed(const std::string& number);
    virtual void OnCallBackSucceed(const std::string& number, void* call);
    virtual void OnPinEntered(const std::string& callerId, const std::string& pin, void* call);
    // The callback's dialogue leg is gone: a PIN session still open on it ends there.
    virtual void OnCallBackReleased(void* call);
    virtual void OnNumberEntered(const std::string& lineName, const std::string& callerId,
                                 const std::string& number, void* call);
    virtual bool HasFreeLines() = 0;
    virtual void SetSettings(CBSrvSettings* settings);
    virtual void SetDBBackend(IDBBackend* database);
    virtual void SetNorCOMService(INorCOMService* lineService);
    virtual void SetCallBackQueue(ICallBackQueue* queue);
    // Where the attempts' outcomes are written down (nullptr: nowhere); not owned.
    void SetJournal(CallBackJournal* journal);

    static constexpr int kQueueTimerMs = 7000;

public slots:
    void CheckCallBackQueue();

protected:
    IDBBackend* database = nullptr;
    ICallBackQueue* queue = nullptr;
    CBSrvSettings* settings = nullptr;
    INorCOMService* lineService = nullptr;
    std::map<std::string, int> wrongPinCounts;
    std::map<std::string, int> savedLineCOS;
    bool enabled = true;
    LogicLock logicLock;

    // One callback's PIN dialogue, from the prompt to the right PIN or the end of the call, by call handle.
    struct PinSession
    {
        std::string number;    // the number called back, as queued
        bool wrongPin = false; // a PIN was keyed and was wrong (a prompt left unanswered is no guess)
    };
    std::map<void*, PinSession> pinSessions;
    enum class Lockout { Unchecked, On, Off };
    Lockout lockout = Lockout::Unchecked;
    // Whether the PIN lockout is set and the database holds its objects (asked once; an Error if not).
    bool LockoutOn();
    // Counts a session that ended without the right PIN and locks its caller out at the limit; clears
    // the count after the right one.
    void EndPinSession(void* call, bool rightPin);
    CallBackJournal* journal = nullptr;

    const ICBSrvSettings* config() const;
    // The key under which the journal knows the callback attempt of this call handle; empty: none.
    virtual std::string AttemptKey(void* call);
};
