#include "service/core/CallBackLogic.h"

#include "common/Logging.h"
#include "service/core/ICallBackQueue.h"
#include "service/core/IDBBackend.h"
#include "service/core/INorCOMService.h"
#include "service/core/CBSrvSettings.h"
#include "service/core/CallBackJournal.h"

#include <QTimer>

#include <algorithm>

#include <syslog.h>

CallBackLogic::CallBackLogic()
{
    Log(Debug, "CallBackLogic::CallBackLogic()");
}

const ICBSrvSettings* CallBackLogic::config() const { return settings; }

void CallBackLogic::Initialize()
{
    Log(Debug, "CallBackLogic::Initialize()");
    if (!enabled)
        return;
    auto* timer = new QTimer(this); // owned by this object
    connect(timer, &QTimer::timeout, this, &CallBackLogic::CheckCallBackQueue);
    timer->start(kQueueTimerMs);
}

void CallBackLogic::CheckCallBackQueue()
{
    LogicLock::Entry entry(logicLock, LogicLock::Urgency::Urgent);
    if (!enabled)
        return;
    if (journal)
        journal->Tick();
    // Each callback placed takes a line before the next is asked for, so two never share one.
    const int perTick = config()->GetCallBacksPerTick();
    for (int placed = 0; perTick == 0 || placed < perTick; ++placed) {
        if (!HasFreeLines()) {
            if (placed == 0)
                Log(Debug, "CallBackLogic::CheckCallBackQueue no free lines ");
            return;
        }
        const int n = queue->GetLength();
        if (n < 1)
            return;
        Log(Debug, "CallBackLogic::CheckCallBackQueue queue has ", n,
            " calls and free lines, going to call OnCallBackReady");
        OnCallBackReady();
    }
}

void CallBackLogic::OnCallBackReady()
{
    LogicLock::Entry entry(logicLock);
    std::string number;
    if (enabled) {
        const int n = queue->GetLength();
        number = queue->Dequeue();
        Log(Debug, "OnCallBackReady queue length=", n, ", number=", number);
    }
    if (!number.empty() && LockoutOn() && database->IsLockedOut(number)) {
        // Queued before its lock began: the lock stops the callback too.
        Log(Notice, "PIN lockout: callback to locked out ", number, " dropped");
        queue->OnCallBackEnded(number);
        number.clear();
    }
    if (!number.empty()) {
        Log(Debug, "Callback dequeued number ", number);
        MakeCallBack(number);
    }
}

void CallBackLogic::OnIncommingCall(const std::string& callerId, void* call)
{
    OnIncommingCalls({IncomingCall{callerId, call}});
}

void CallBackLogic::OnIncommingCalls(const std::vector<IncomingCall>& calls)
{
    // The exchange's answer depends on nothing the logic holds: asked before the lock, which the
    // queue timer may be waiting for.
    std::vector<IDBBackend::IncomingCaller> callers;
    callers.reserve(calls.size());
    for (const IncomingCall& incoming : calls) {
        Log(Debug, "CallBackLogic::OnIncommingCall from ", incoming.callerId);
        std::string cid = incoming.callerId;
        lineService->ToDialable(cid);
        Log(Debug, "CallBackLogic::OnIncommingCall modified callerid= ", cid);
        callers.push_back(IDBBackend::IncomingCaller{cid});
    }

    LogicLock::Entry entry(logicLock);
    const bool lockoutOn = LockoutOn();
    database->CheckCallers(callers, lockoutOn);

    std::vector<IDBBackend::IncomingRow> rows;
    rows.reserve(calls.size());
    std::vector<std::string> accepted; // new numbers for the queue, ahead of their rows
    const int max = config()->GetMaxNumbersInQueue();
    for (size_t i = 0; i < calls.size(); ++i) {
        const IncomingCall& incoming = calls[i];
        const IDBBackend::IncomingCaller& caller = callers[i];
        const std::string& cid = caller.callerId;
        int uid = -1;
        int result;
        if (caller.known) {
            Log(Debug, "CallBackLogic::OnIncommingCall checked cid successfull, trying to get UID ");
            uid = caller.uid;
            const int n = queue->GetLength() + static_cast<int>(accepted.size());
            Log(Debug, "CallBackLogic::OnIncommingCall got UID, checking queue length=", n, ", max nums in queue=", max);
            if (caller.lockedOut) {
                // Told no more than a full queue would tell it: a guesser learns nothing of the lock.
                Log(Warning, "OnIncommingCall from locked out CALLERID=", cid, ", going to PlayOGMIncommingQueueFull");
                PlayOGMIncommingQueueFull(incoming.call);
                result = 3;
            } else if (n < max) {
                Log(Debug, "CallBackLogic::OnIncommingCall queue not full,going to PlayOGMIncommingSuccess ");
                PlayOGMIncommingSuccess(incoming.call);
                result = 1;
                if (std::find(accepted.begin(), accepted.end(), cid) == accepted.end() && !queue->Holds(cid))
                    accepted.push_back(cid);
            } else {
                Log(Debug, "CallBackLogic::OnIncommingCall queue  full,going to PlayOGMIncommingQueueFull ");
                PlayOGMIncommingQueueFull(incoming.call);
                result = 2;
            }
        } else {
            Log(Warning, "OnIncommingCall from wrong CALLERID=", incoming.callerId);
            Log(Debug, " going to PlayOGMIncommingWrongCid");
            PlayOGMIncommingWrongCid(incoming.call);
            result = 0;
        }
        Log(Debug, "CallBackLogic::OnIncommingCall going to save incoming call to DB ");
        rows.push_back(IDBBackend::IncomingRow{incoming.callerId, uid, result, cid});
    }

    database->SaveIncomingCalls(rows);

    for (const IDBBackend::IncomingRow& row : rows) {
        if (row.result == 1) {
            Log(Debug, "CallBackLogic::OnIncommingCall going to put call in queue with callerid=", row.dest);
            queue->PutInQueue(row.dest, row.id, row.uid);
        }
        Log(Debug, "CallBackLogic::OnIncommingCall ended handling incoming call callerid=", row.dest);
    }
}

void CallBackLogic::OnCallBackSucceed(const std::string& number, void* call)
{
    LogicLock::Entry entry(logicLock);
    Log(Debug, "Callback succeffull to number ", number);
    queue->OnCallBackSucceed(number);
    if (journal)
        journal->AttemptAnswered(AttemptKey(call));
    wrongPinCounts[number] = 0;
    if (LockoutOn() && database->IsLockedOut(number)) {
        // Placed before its lock began: no PIN is asked of a locked out caller.
        Log(Warning, "PIN lockout: callback answered by locked out ", number, ", going to PlayOGMIncommingQueueFull");
        PlayOGMIncommingQueueFull(call);
        return;
    }
    pinSessions[call] = PinSession{number};
    PlayOGMEnterPin(call);
}

void CallBackLogic::OnCallBackFailed(const std::string& number)
{
    LogicLock::Entry entry(logicLock);
    Log(Warning, "Failed to make callback to number ", number);
    queue->OnCallBackFailed(number);
}

void CallBackLogic::OnNoFreeLines(const std::string& number)
{
    LogicLock::Entry entry(logicLock);
    queue->OnNoFreeLines(number);
}

void CallBackLogic::OnCallBackEnded(const std::string& number)
{
    LogicLock::Entry entry(logicLock);
    queue->OnCallBackEnded(number);
}

void CallBackLogic::OnPinEntered(const std::string& callerId, const std::string& pin, void* call)
{
    LogicLock::Entry entry(logicLock);
    if (database->CheckPin(callerId, pin)) {
        Log(Debug, "Got correct PIN from ", callerId);
        EndPinSession(call, true);
        if (journal)
            journal->AttemptPin(AttemptKey(call), true);
        PlayOGMEnterNumber(call);
        return;
    }
    if (!pin.empty()) {
        auto session = pinSessions.find(call);
        if (session != pinSessions.end())
            session->second.wrongPin = true;
    }
    const int max = config()->GetEnterPinMaxTries();
    int& count = wrongPinCounts[callerId];
    if (count < max - 1) {
        Log(Notice, "Got wrong PIN=", LogMasked(pin), " from ", callerId, ", asking to enter PIN again");
        Log(Notice, "EnterPinMaxTries=", max, " wrong count=", count);
        ++count;
        PlayOGMWrongPin(call);
    } else {
        Log(Notice, "Got wrong PIN=", LogMasked(pin), " from ", callerId, ", disconnecting");
        if (journal)
            journal->AttemptPin(AttemptKey(call), false);
        PlayOGMWrongPinDisconnect(call);
        count = 0;
        EndPinSession(call, false);
    }
}

void CallBackLogic::OnNumberEntered(const std::string& lineName, const std::string& callerId,
                                    const std::string& number, void* call)
{
    LogicLock::Entry entry(logicLock);
    if (database->checkDialedNumber(callerId, number)) {
        lineService->SetCOS(lineName, database->GetTransferCOS(callerId));
        Log(Debug, "Callback  OnNumberEntered calleid=", callerId, " number=", number, " trying to transfer");
        std::string dest = number;
        lineService->ToDialable(dest);
        if (journal)
            journal->AttemptDestination(AttemptKey(call), dest);
        TransferCall(dest, call);
    } else {
        Log(Warning, "Callback  OnNumberEntered TRANSFER DENIED calleid=", callerId, " number=", number);
        if (journal) {
            const std::string key = AttemptKey(call);
            journal->AttemptDestination(key, number);
            journal->AttemptOutcome(key, CallBackJournal::EndReason::TransferDenied);
        }
        PlayOGMTransferDenied(call);
    }
}

void CallBackLogic::OnCallBackReleased(void* call)
{
    LogicLock::Entry entry(logicLock);
    EndPinSession(call, false);
}

bool CallBackLogic::LockoutOn()
{
    const ICBSrvSettings* c = config();
    if (!c || !database || c->GetPinLockoutFailures() <= 0 || c->GetPinLockoutWindow() <= 0 ||
        c->GetPinLockoutMinutes() <= 0)
        return false;
    if (lockout == Lockout::Unchecked) {
        switch (database->PinLockoutStore()) {
        case IDBBackend::LockoutStore::Ready:
            lockout = Lockout::On;
            Log(Informational, "PIN lockout on: ", c->GetPinLockoutFailures(), " failed sessions within ",
                c->GetPinLockoutWindow(), " minutes lock a caller out");
            break;
        case IDBBackend::LockoutStore::Missing:
            lockout = Lockout::Off;
            Log(Error, "PIN lockout is set but the database lacks its table: the lockout stays off until the "
                       "administrator (SYSDBA) logs in to Selvdesk once to add it and the service restarts");
            break;
        case IDBBackend::LockoutStore::Unknown:
            return false; // asked again once the database answers
        }
    }
    return lockout == Lockout::On;
}

void CallBackLogic::EndPinSession(void* call, bool rightPin)
{
    auto it = pinSessions.find(call);
    if (it == pinSessions.end())
        return;
    const PinSession session = it->second;
    pinSessions.erase(it);
    if (!LockoutOn())
        return;
    if (rightPin) {
        database->ClearFailedSessions(session.number);
        return;
    }
    // Timeouts alone count only toward the call's own tries: an answering machine locks nobody out.
    if (!session.wrongPin)
        return;
    const ICBSrvSettings* c = config();
    const int failures = c->GetPinLockoutFailures(), window = c->GetPinLockoutWindow(),
              minutes = c->GetPinLockoutMinutes();
    const IDBBackend::FailedSession failed = database->RecordFailedSession(
        session.number, database->GetUID(session.number), failures, window, minutes);
    if (!failed.recorded) {
        Log(Warning, "PIN lockout: the failed session of ", session.number, " could not be recorded");
        return;
    }
    Log(Notice, "PIN lockout: callback to ", session.number, " ended without the right PIN, failed sessions ",
        failed.failures);
    if (!failed.lockedNow)
        return;
    const int dropped = queue ? queue->DropWaiting(session.number) : 0;
    const std::string alert = "PIN lockout: caller ID " + session.number + " locked out for " +
                              std::to_string(minutes) + " minutes after " + std::to_string(failed.failures) +
                              " callback sessions without the right PIN within " + std::to_string(window) +
                              " minutes";
    Log(Alert, alert);
    if (!WriteSystemLog(LOG_AUTH | LOG_ALERT, alert))
        Log(Warning, "PIN lockout: the alert could not be sent to the system log");
    if (dropped)
        Log(Notice, "PIN lockout: dropped ", dropped, " queued callbacks to ", session.number);
}

int CallBackLogic::SaveLineCOS(const std::string& lineName)
{
    LogicLock::Entry entry(logicLock);
    const int cos = lineService->GetCOS(lineName);
    savedLineCOS[lineName] = cos;
    return cos;
}

void CallBackLogic::RestoreLineCOS(const std::string& lineName)
{
    LogicLock::Entry entry(logicLock);
    lineService->SetCOS(lineName, savedLineCOS[lineName]);
}

void CallBackLogic::SetSettings(CBSrvSettings* s) { settings = s; }
void CallBackLogic::SetDBBackend(IDBBackend* d) { database = d; }
void CallBackLogic::SetNorCOMService(INorCOMService* l) { lineService = l; }
void CallBackLogic::SetCallBackQueue(ICallBackQueue* q) { queue = q; }
void CallBackLogic::SetJournal(CallBackJournal* j) { journal = j; }
std::string CallBackLogic::AttemptKey(void*) { return std::string(); }
