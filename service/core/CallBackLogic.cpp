#include "service/core/CallBackLogic.h"

#include "common/Logging.h"
#include "service/core/ICallBackQueue.h"
#include "service/core/IDBBackend.h"
#include "service/core/INorCOMService.h"
#include "service/core/CBSrvSettings.h"
#include "service/core/CallBackJournal.h"

#include <QTimer>

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
    if (!number.empty()) {
        Log(Debug, "Callback dequeued number ", number);
        MakeCallBack(number);
    }
}

void CallBackLogic::OnIncommingCall(const std::string& callerId, void* call)
{
    LogicLock::Entry entry(logicLock);
    Log(Debug, "CallBackLogic::OnIncommingCall from ", callerId);
    std::string cid = callerId;
    int uid = -1;
    lineService->ToDialable(cid);
    Log(Debug, "CallBackLogic::OnIncommingCall modified callerid= ", cid);

    int result;
    if (database->CheckCallerId(cid)) {
        Log(Debug, "CallBackLogic::OnIncommingCall checked cid successfull, trying to get UID ");
        uid = database->GetUID(cid);
        const int n = queue->GetLength();
        const int max = config()->GetMaxNumbersInQueue();
        Log(Debug, "CallBackLogic::OnIncommingCall got UID, checking queue length=", n, ", max nums in queue=", max);
        if (n < max) {
            Log(Debug, "CallBackLogic::OnIncommingCall queue not full,going to PlayOGMIncommingSuccess ");
            PlayOGMIncommingSuccess(call);
            result = 1;
        } else {
            Log(Debug, "CallBackLogic::OnIncommingCall queue  full,going to PlayOGMIncommingQueueFull ");
            PlayOGMIncommingQueueFull(call);
            result = 2;
        }
    } else {
        Log(Warning, "OnIncommingCall from wrong CALLERID=", callerId);
        Log(Debug, " going to PlayOGMIncommingWrongCid");
        PlayOGMIncommingWrongCid(call);
        result = 0;
        uid = -1;
    }

    Log(Debug, "CallBackLogic::OnIncommingCall going to save incoming call to DB ");
    int id = -1;
    database->SaveIncomingCall(callerId, uid, result, cid, id);

    if (result == 1) {
        Log(Debug, "CallBackLogic::OnIncommingCall going to put call in queue with callerid=", cid);
        queue->PutInQueue(cid, id, uid);
    }
    Log(Debug, "CallBackLogic::OnIncommingCall ended handling incoming call callerid=", cid);
}

void CallBackLogic::OnCallBackSucceed(const std::string& number, void* call)
{
    LogicLock::Entry entry(logicLock);
    Log(Debug, "Callback succeffull to number ", number);
    queue->OnCallBackSucceed(number);
    if (journal)
        journal->AttemptAnswered(AttemptKey(call));
    wrongPinCounts[number] = 0;
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
        if (journal)
            journal->AttemptPin(AttemptKey(call), true);
        PlayOGMEnterNumber(call);
        return;
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
