// The service's telephony manager: the call manager of the SIP and IVR endpoints, the SIP side of
// the callback logic, and the receiver of the exchange's line events.
#pragma once

#include "service/core/CallBackLogic.h"
#include "service/core/ICBSrvSettings.h"
#include "service/core/INorCOMEventsReceiver.h"
#include "service/telephony/PromptDocuments.h"
#include "voip/core/Manager.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <mutex>
#include <string>

namespace voip {
class Strand;
}

class MyIVRConnection;
class MyIVREndPoint;
class MySIPConnection;
class MySIPEndPoint;

class MyManager : public voip::Manager, public INorCOMEventsReceiver, public CallBackLogic
{
public:
    MyManager();
    ~MyManager() override;

    // CallBackLogic; the call handle is the caller's MyIVRConnection.
    void PlayOGMIncommingSuccess(void* call) override;
    void PlayOGMIncommingQueueFull(void* call) override;
    void PlayOGMIncommingWrongCid(void* call) override;
    void PlayOGMEnterNumber(void* call) override;
    void PlayOGMEnterPin(void* call) override;
    void PlayOGMWrongPin(void* call) override;
    void PlayOGMWrongPinDisconnect(void* call) override;
    void PlayOGMTransferDenied(void* call) override;
    void MakeCallBack(const std::string& number) override;
    void TransferCall(const std::string& destination, void* call) override;
    bool HasFreeLines() override;
    void Initialize() override;

    // From the endpoints.
    using CallBackLogic::OnPinEntered;
    void OnPinEntered(MyIVRConnection& connection, const std::string& pin);
    void OnTransferNumberEntered(MyIVRConnection& connection, const std::string& digits);
    void OnEstablishedIncomingIVR(MyIVRConnection& connection);
    void OnEstablishedOutgoingIVR(MyIVRConnection& connection);
    void MakeTransfer(MySIPConnection& connection, const std::string& destination);

    bool MakeCallFromIVR(const std::string& number, std::string& token);
    // A callback attempt is over, before it asked for a line or after (with its token, empty when
    // it was not placed). Its line may be promised again.
    void CallBackAttemptEnded(bool askedForLine, const std::string& token);
    // The callback of that token rang out unanswered; it is cleared next.
    void CallBackNotAnswered(const std::string& token);
    void OnReleased(voip::Connection& connection) override;
    void OnEstablishedCall(voip::Call& call) override;
    void OnClearedCall(voip::Call& call) override;

    // INorCOMEventsReceiver
    void OnSIPCallConnected(const std::string& lineName) override;
    void OnSIPCallDisconnected(const std::string& lineName) override;
    // Registers every line again at once: a restarted exchange would refuse calls to them until
    // their next refresh, minutes away.
    void OnExchangeSessionRestored() override;

    const PromptDocuments& Documents() const { return documents; }
    MySIPEndPoint* SipEndPoint() const { return sipEndPoint; }
    MyIVREndPoint* IvrEndPoint() const { return ivrEndPoint; }
    // The three line maps, copied, for inspection.
    std::map<std::string, std::string> OutgoingIvrTokens() const;
    std::map<std::string, std::string> TransferTokens() const;
    std::map<std::string, std::string> CallbackTokens() const;

    // Ends the callback workers still running and waits for them; the destructor does it too.
    void StopCallBacks();
    // For callback workers: sleeps, and answers false when the manager is going away instead.
    bool Sleep(std::chrono::milliseconds duration);
    void WorkerStarted();
    void WorkerEnded();

    static constexpr const char* kOutsideLinePrefix = "9";
    // The longest numbers that never carry the outside-line prefix, even when they start with its digit:
    // callers' numbers as the exchange presents them, and the numbers a callback dials (longer ones are
    // dialled with the prefix).
    static constexpr size_t kLongestInsideCallerId = 3;
    static constexpr size_t kLongestInsideNumber = 5;
    static constexpr const char* kSipPort = "5060";
    static constexpr unsigned kRegistrationExpiry = 360;
    static constexpr int kConnectedSettleMs = 200;
    static constexpr int kConnectedWindowMs = 1000;
    static constexpr int kConnectedPollMs = 30;
    static constexpr int kDisconnectDelayMs = 1000;
    // A transfer's destination that has not answered by then is given up, as a callback would be.
    static constexpr int kTransferAnswerMs = 30000;
    // The option that marks the service's transfer legs.
    static constexpr const char* kOperationOption = "sip_callback_operation";
    static constexpr const char* kTransferOperation = "transfer";
    // Holds a line for a callback while its call is being set up, before it has a token.
    static constexpr const char* kReservingToken = "setting-up:";

protected:
    std::string AttemptKey(void* call) override;

private:
    void Play(void* call, const std::string& document);
    void SetUpIvr();
    void SetUpSip();
    void Register(const SipRegistration& registration);
    void AddRoute(const std::string& entry);
    // Sends the line's REGISTER again now; why says what made it needed, for the log.
    void RegisterLineAgain(const std::string& line, const char* why);
    // The line of an IVR leg: the user part of its SIP leg's own address; empty when that leg is gone.
    static std::string LineOf(MyIVRConnection& connection);

    MySIPEndPoint* sipEndPoint = nullptr; // owned by voip::Manager
    MyIVREndPoint* ivrEndPoint = nullptr; // owned by voip::Manager
    PromptDocuments documents;
    std::string applicationDir;

    mutable std::mutex mapsLock; // every access to the three maps
    std::mutex transferSetUpLock; // held by MakeTransfer from the call's set-up until it is on record
    std::map<std::string, std::string> outgoing_ivr_contoken_map;
    std::map<std::string, std::string> transfer_contoken_map;
    std::map<std::string, std::string> callback_contoken_map;

    // Callbacks under way: started and not yet placed, and the lines of those placed, so that a
    // line is promised to one callback only and a tick places no more callbacks than lines are free.
    std::mutex attemptsLock;
    int attemptsStarting = 0;
    std::map<std::string, std::string> attemptLines; // token -> line
    // Held while a callback is placed and written down, and while a call's end is: so an attempt
    // whose call ends at once is written down before its end.
    std::recursive_mutex placingLock;
    int unplacedAttempts = 0; // under placingLock
    // Whether a callback under way holds the line; the caller holds attemptsLock.
    bool LinePromised(const std::string& line) const;
    // Transfer calls placed and not yet cleared, by token, so that one that fails or rings too long
    // is cleared and told to the subscriber, and one whose subscriber hangs up is cancelled.
    struct PendingTransfer
    {
        std::string line;
        std::string callback; // the subscriber's call
        std::string number;
        uint64_t timer = 0;
    };
    std::map<std::string, PendingTransfer> transfers; // under mapsLock
    void TransferFailed(const std::string& token, const PendingTransfer& transfer, voip::Call& call);
    // Lines whose class of service a callback's transfer raised: callback's call token -> line.
    std::map<std::string, std::string> raisedLines; // under mapsLock

    std::mutex workersLock;
    std::condition_variable workersChanged;
    int workers = 0;
    bool stopping = false;
    // Answered callers wait for the logic here, in arrival order, as entries rather than as threads
    // held on its lock: a burst costs a queue entry per call, not a thread. One task on the strand
    // takes all that wait (up to kIncomingBatch) into one entry of the logic, so that under load the
    // database's round trips and commit are shared by the calls that came in meanwhile; the bound
    // keeps the queue timer's wait for the entry short.
    static constexpr size_t kIncomingBatch = 16;
    void TakeIncomingCalls();
    std::shared_ptr<voip::Strand> incomingCalls;
    std::deque<std::shared_ptr<MyIVRConnection>> incomingWaiting; // under workersLock
    bool incomingPosted = false; // a task to take the waiting calls is on the strand; under workersLock
};
