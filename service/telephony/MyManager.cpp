#include "service/telephony/MyManager.h"

#include "common/Logging.h"
#include "service/core/CallBackJournal.h"
#include "service/core/ICallBackQueue.h"
#include "service/core/INorCOMService.h"
#include "service/telephony/CallThread.h"
#include "service/telephony/MyIVRConnection.h"
#include "service/telephony/MyIVREndPoint.h"
#include "service/telephony/MySIPConnection.h"
#include "service/telephony/MySIPEndPoint.h"
#include "voip/core/Call.h"
#include "voip/core/Executor.h"
#include "voip/sip/SipConnection.h"
#include "voip/core/Address.h"

#include <QHostAddress>
#include <QNetworkInterface>

#include <exception>
#include <string_view>
#include <thread>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The scheme a transfer destination arrives with.
constexpr std::string_view kSipScheme = "sip:";

// The number without the outside-line prefix when it is longer than longestInside and starts with it.
std::string WithoutOutsideLinePrefix(std::string number, size_t longestInside)
{
    const std::string_view prefix = MyManager::kOutsideLinePrefix;
    if (number.size() > longestInside && number.compare(0, prefix.size(), prefix) == 0)
        number.erase(0, prefix.size());
    return number;
}

// The text matched literally by a regular expression.
std::string RegexEscaped(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// The host's own network address, for the contact when no local address is set.
bool NetworkAddress(std::string& address)
{
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback()) {
            address = a.toString().toStdString();
            return true;
        }
    return false;
}

} // namespace

MyManager::MyManager() : incomingCalls(std::make_shared<voip::Strand>(Workers())) {}

MyManager::~MyManager()
{
    StopCallBacks();
    ShutDownEndpoints();
}

void MyManager::StopCallBacks()
{
    std::unique_lock<std::mutex> lock(workersLock);
    stopping = true;
    workersChanged.notify_all();
    // A callback worker still uses this manager: let it see the stop and end first.
    workersChanged.wait(lock, [this] { return workers == 0; });
}

bool MyManager::Sleep(milliseconds duration)
{
    std::unique_lock<std::mutex> lock(workersLock);
    return !workersChanged.wait_for(lock, duration, [this] { return stopping; });
}

void MyManager::WorkerStarted()
{
    std::lock_guard<std::mutex> lock(workersLock);
    ++workers;
}

void MyManager::WorkerEnded()
{
    std::lock_guard<std::mutex> lock(workersLock);
    --workers;
    workersChanged.notify_all();
}

void MyManager::Play(void* call, const std::string& document)
{
    auto* connection = static_cast<MyIVRConnection*>(call);
    if (!connection)
        return;
    // Returns at once (the pause is on a timer): the logic's operation runs to its end under its lock.
    connection->PlayVXML(document);
}

void MyManager::PlayOGMIncommingSuccess(void* call)
{
    Play(call, documents.welcome);
}
void MyManager::PlayOGMIncommingQueueFull(void* call)
{
    Play(call, documents.queueFull);
}
void MyManager::PlayOGMIncommingWrongCid(void* call)
{
    Play(call, documents.wrongCid);
}
void MyManager::PlayOGMEnterNumber(void* call)
{
    Play(call, documents.enterNumber);
}
void MyManager::PlayOGMEnterPin(void* call)
{
    Play(call, documents.enterPin);
}
void MyManager::PlayOGMWrongPin(void* call)
{
    Play(call, documents.enterPinAgain);
}
void MyManager::PlayOGMWrongPinDisconnect(void* call)
{
    Play(call, documents.wrongPin);
}
void MyManager::PlayOGMTransferDenied(void* call)
{
    Play(call, documents.transferDenied);
}

void MyManager::MakeCallBack(const std::string& number)
{
    {
        std::lock_guard<std::mutex> lock(attemptsLock);
        ++attemptsStarting;
    }
    CallThread::Start(*this, number);
}

bool MyManager::LinePromised(const std::string& line) const
{
    for (const auto& attempt : attemptLines)
        if (attempt.second == line)
            return true;
    return false;
}

void MyManager::CallBackAttemptEnded(bool askedForLine, const std::string& token)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    if (!askedForLine)
        --attemptsStarting;
    else if (!token.empty())
        attemptLines.erase(token);
}

void MyManager::TransferCall(const std::string& destination, void* call)
{
    auto* connection = static_cast<MyIVRConnection*>(call);
    if (!connection)
        return;
    // The transfer's class of service stays on the line only as long as this callback.
    if (auto own = connection->GetCall()) {
        const std::string line = LineOf(*connection);
        std::lock_guard<std::mutex> lock(mapsLock);
        if (!line.empty())
            raisedLines[own->GetToken()] = line;
    }
    connection->SetVXMLVar("transfer.transfer_num", destination);
    Play(call, documents.waitTransfer);
}

bool MyManager::HasFreeLines()
{
    // One more callback fits when a line the exchange sees free is promised to no callback under way.
    const std::vector<std::string> free = lineService ? lineService->GetFreeSipLines() : std::vector<std::string>();
    std::lock_guard<std::mutex> lock(attemptsLock);
    int available = 0;
    for (const std::string& line : free)
        available += !LinePromised(line);
    return available > attemptsStarting;
}

void MyManager::Initialize()
{
    CallBackLogic::Initialize();
    SetUpIvr();
    SetUpSip();
}

void MyManager::SetUpIvr()
{
    ivrEndPoint = &AddEndpoint(std::make_unique<MyIVREndPoint>(*this, "ivr"));
    applicationDir = config()->GetApplicationDir();
    documents =
        PromptDocuments::Build(applicationDir, config()->GetEnterPinTimer(), config()->GetEnterNumberTimer());
}

void MyManager::SetUpSip()
{
    sipEndPoint = &AddEndpoint(std::make_unique<MySIPEndPoint>(*this, 10, 5));
    const std::string listen = config() ? config()->GetListenAddress() : std::string();
    if (config()) {
        // Set before the listener opens: no INVITE is ever taken unscreened.
        std::vector<std::string> lines;
        std::vector<std::string> sources;
        for (const SipRegistration& r : config()->GetSipRegistrations()) {
            lines.push_back(r.login);
            if (!r.server.empty())
                sources.push_back(r.server);
        }
        for (const std::string& peer : config()->GetTrustedPeers())
            sources.push_back(peer);
        sipEndPoint->Door().Configure(lines, sources);
    }
    if (!sipEndPoint->StartListeners({listen}))
        return;
    const auto& registrations = config()->GetSipRegistrations();
    for (const SipRegistration& r : registrations) {
        Register(r);
        // The line is the request URI's user part, exactly: "sip:12019@..." is not line 201.
        AddRoute("sip:" + RegexEscaped(r.login) + "([@;].*)? = ivr:");
    }
    // Bare numbers only, as the service dials them (transfers): a call arriving from the network always
    // has a scheme, so it can never be carried back out through a line.
    for (const SipRegistration& r : registrations)
        if (!r.server.empty())
            AddRoute("[^:]+ = sip:<dn>@" + r.server);
}

void MyManager::AddRoute(const std::string& entry)
{
    if (!AddRouteEntry(entry))
        Log(Warning, "Route entry not taken: ", entry);
}

void MyManager::RegisterLineAgain(const std::string& line, const char* why)
{
    if (sipEndPoint && sipEndPoint->RegisterAgain(line))
        Log(Notice, "Registering line ", line, " again: ", why);
}

void MyManager::OnExchangeSessionRestored()
{
    if (!config())
        return;
    for (const SipRegistration& r : config()->GetSipRegistrations())
        RegisterLineAgain(r.login, "the exchange's control connection is back");
}

void MyManager::Register(const SipRegistration& r)
{
    SaveLineCOS(r.login);
    std::string ip;
    if (!NetworkAddress(ip))
        Log(Informational, "Fail to get Network ip address ");
    std::string local = config()->GetLocalAddress();
    if (local.empty())
        local = ip;

    voip::SipRegistrationParams params;
    // A server given as host:port is used as it is; a bare host is reached on the standard port.
    params.registrarAddress = r.server.find(':') == std::string::npos ? r.server + ":" + kSipPort : r.server;
    params.proxyAddress = r.server;
    params.addressOfRecord = r.login;
    params.contact = "<sip:" + r.login + "@" + local + ":" + std::to_string(sipEndPoint->GetListenerPort()) +
                     ">;expires=" + std::to_string(kRegistrationExpiry);
    params.authID = r.login;
    params.password = r.password;
    params.expire = kRegistrationExpiry;
    std::string aor;
    if (!sipEndPoint->Register(params, aor))
        Log(Warning, "Registration of line ", r.login, " not started at ", params.registrarAddress);
}

bool MyManager::MakeCallFromIVR(const std::string& number, std::string& token)
{
    const std::vector<std::string> free = lineService ? lineService->GetFreeSipLines() : std::vector<std::string>();
    std::string line;
    {
        // The attempt stops counting as starting here; the line it takes is promised to it until it ends.
        std::lock_guard<std::mutex> lock(attemptsLock);
        --attemptsStarting;
        for (const std::string& candidate : free) {
            if (!LinePromised(candidate)) {
                line = candidate;
                break;
            }
        }
        if (!line.empty())
            attemptLines[kReservingToken + number] = line;
    }
    if (line.empty()) {
        Log(Informational, "MakeCallFromIVR out of free lines ");
        return false;
    }
    voip::StringOptions options;
    options[voip::kCallingPartyNumber] = line;
    options[voip::kCallingPartyName] = line;
    options[voip::kCallingDisplayName] = line;
    const std::string partyB =
        std::string(kSipScheme) + (number.size() > kLongestInsideNumber ? kOutsideLinePrefix : "") + number;
    // The attempt is written down before its call can end (which waits for this lock).
    std::lock_guard<std::recursive_mutex> placing(placingLock);
    const bool placed = SetUpCall(documents.callbackParty, partyB, token, nullptr, 0, options);
    if (journal) {
        int incomingId = -1, uid = -1;
        if (queue->RequestOf(number, incomingId, uid)) {
            // A call that could not even be set up is an attempt all the same; a missing line is not.
            const std::string key = placed ? token : "not-set-up:" + std::to_string(++unplacedAttempts);
            journal->AttemptPlaced(key, incomingId, uid, line);
            if (!placed) {
                journal->AttemptOutcome(key, CallBackJournal::EndReason::SetUpFailed);
                journal->AttemptEnded(key, 0);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(attemptsLock);
        attemptLines.erase(kReservingToken + number);
        if (placed)
            attemptLines[token] = line;
    }
    if (placed) {
        Log(Informational, "MakeCallFromIVR Making call to ", number, " from ", line);
        return true;
    }
    Log(Warning, "MakeCallFromIVR Failed to start call to ", number, " from ", line);
    return false;
}

std::string MyManager::AttemptKey(void* call)
{
    auto* connection = static_cast<MyIVRConnection*>(call);
    auto own = connection ? connection->GetCall() : nullptr;
    return own ? own->GetToken() : std::string();
}

void MyManager::CallBackNotAnswered(const std::string& token)
{
    if (journal)
        journal->AttemptOutcome(token, CallBackJournal::EndReason::NoAnswer);
}

std::string MyManager::LineOf(MyIVRConnection& connection)
{
    auto other = connection.GetOtherPartyConnection();
    return other ? voip::UserPartOf(other->GetLocalPartyAddress()) : std::string();
}

void MyManager::OnEstablishedIncomingIVR(MyIVRConnection& connection)
{
    auto caller = std::static_pointer_cast<MyIVRConnection>(connection.shared_from_this());
    {
        std::lock_guard<std::mutex> lock(workersLock);
        if (stopping)
            return;
        ++workers; // the stop waits for the callers already waiting
        incomingWaiting.push_back(std::move(caller));
        if (incomingPosted)
            return; // the task posted already takes this one too
        incomingPosted = true;
    }
    incomingCalls->Post([this] { TakeIncomingCalls(); });
}

void MyManager::TakeIncomingCalls()
{
    std::vector<std::shared_ptr<MyIVRConnection>> batch;
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(workersLock);
        while (!incomingWaiting.empty() && batch.size() < kIncomingBatch) {
            batch.push_back(std::move(incomingWaiting.front()));
            incomingWaiting.pop_front();
        }
        more = !incomingWaiting.empty();
        incomingPosted = more;
    }
    if (more)
        incomingCalls->Post([this] { TakeIncomingCalls(); });
    struct Done
    {
        MyManager& manager;
        size_t calls;
        ~Done()
        {
            for (size_t i = 0; i < calls; ++i)
                manager.WorkerEnded();
        }
    } done{*this, batch.size()};
    std::vector<IncomingCall> calls;
    calls.reserve(batch.size());
    for (const auto& caller : batch)
        calls.push_back(IncomingCall{caller->GetRemotePartyNumber(), caller.get()});
    OnIncommingCalls(calls);
}

void MyManager::OnPinEntered(MyIVRConnection& connection, const std::string& pin)
{
    const std::string callerId =
        WithoutOutsideLinePrefix(connection.GetRemotePartyNumber(), kLongestInsideCallerId);
    Log(Debug, "MyManager::OnPinEntered callerid=", callerId, " pin=", LogMasked(pin));
    OnPinEntered(callerId, pin, &connection);
}

void MyManager::OnTransferNumberEntered(MyIVRConnection& connection, const std::string& digits)
{
    const std::string callerId =
        WithoutOutsideLinePrefix(connection.GetRemotePartyNumber(), kLongestInsideCallerId);
    if (!connection.GetOtherPartyConnection())
        return; // the subscriber's leg is gone: no line to transfer on
    OnNumberEntered(LineOf(connection), callerId, digits, &connection);
}

void MyManager::OnEstablishedOutgoingIVR(MyIVRConnection& connection)
{
    if (!connection.GetOtherPartyConnection())
        return;
    const std::string line = LineOf(connection);
    if (connection.GetInitialDocument() != documents.enterPin)
        return;
    Log(Debug, "MyManager::OnEstablishedOutgoingIVR we=", line);
    std::lock_guard<std::mutex> lock(mapsLock);
    outgoing_ivr_contoken_map[line] = connection.GetToken();
}

void MyManager::OnSIPCallConnected(const std::string& line)
{
    Log(Debug, "got OnSIPCallConnected from NORCOM on linename=", line);
    std::string transfer;
    {
        std::lock_guard<std::mutex> lock(mapsLock);
        transfer = transfer_contoken_map[line];
    }
    if (transfer.empty()) {
        std::this_thread::sleep_for(milliseconds(kConnectedSettleMs));
        const auto deadline = Clock::now() + milliseconds(kConnectedWindowMs);
        while (Clock::now() < deadline) {
            try {
                std::string token;
                {
                    std::lock_guard<std::mutex> lock(mapsLock);
                    auto it = outgoing_ivr_contoken_map.find(line);
                    if (it != outgoing_ivr_contoken_map.end())
                        token = it->second;
                }
                auto connection = ivrEndPoint ? ivrEndPoint->FindConnectionWithLockAs<MyIVRConnection>(token)
                                              : voip::SafeConnection<MyIVRConnection>();
                if (!connection) {
                    std::this_thread::sleep_for(milliseconds(kConnectedPollMs));
                    continue;
                }
                Log(Debug, "got OnSIPCallConnected from NORCOM. Getting callerid on linename=", line);
                const std::string callerId =
                    WithoutOutsideLinePrefix(connection->GetRemotePartyNumber(), kLongestInsideNumber);
                Log(Debug,
                    "got OnSIPCallConnected from NORCOM. Going to call OnOutgoingConnected on linename=",
                    line, " for callerid=", callerId);
                OnCallBackSucceed(callerId, connection.get());
                Log(Debug,
                    " OnSIPCallConnected from NORCOM. Played enter pin message. "
                    "deleting outgoing_ivr_contoken_map on linename=",
                    line);
                {
                    std::lock_guard<std::mutex> lock(mapsLock);
                    outgoing_ivr_contoken_map.erase(line);
                }
                Log(Debug,
                    " OnSIPCallConnected from NORCOM. Played enter pin message. Going to continue on "
                    "linename=",
                    line);
                connection.Release();
                // One answer, one success: the prompt no longer holds this thread for the rest of the window.
                break;
            } catch (const std::exception& e) {
                Log(Debug, " OnSIPCallConnected from NORCOM. Got exception.", e.what(),
                    " on linename=", line);
                std::this_thread::sleep_for(milliseconds(kConnectedPollMs));
            }
        }
    } else {
        Log(Debug, "got OnSIPCallConnected from NORCOM. Trying to clear transfered call  on linename=", line);
        const auto deadline = Clock::now() + milliseconds(kConnectedWindowMs);
        while (!IsCallEstablished(transfer) && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(kConnectedPollMs));
        if (!IsCallEstablished(transfer) && FindCall(transfer)) {
            // Still ringing: this "connected" is another call's on the line (a caller), not its answer.
            Log(Debug, "OnSIPCallConnected from NORCOM: the transfer still rings, left alone on linename=", line);
            return;
        }
        if (ClearCall(transfer, voip::CallEndReason::LocalUser))
            Log(Informational, "OnSIPCallConnected from NORCOM Cleared call sucessfull on linename=", line);
        else
            Log(Warning, "OnSIPCallConnected from NORCOM  Cleared call FAILED on linename=", line);
        std::lock_guard<std::mutex> lock(mapsLock);
        transfer_contoken_map[line].clear();
    }
    Log(Debug, "finished OnSIPCallConnected from NORCOM on linename=", line);
}

void MyManager::MakeTransfer(MySIPConnection& connection, const std::string& destination)
{
    voip::StringOptions options = connection.GetStringOptions();
    const auto it = options.find(voip::kCallingPartyNumber);
    const std::string line = it == options.end() ? std::string() : it->second;
    const std::string number =
        destination.size() > kSipScheme.size() ? destination.substr(kSipScheme.size()) : std::string();
    options[kOperationOption] = kTransferOperation;
    std::string token;
    auto call = connection.GetCall();
    // Held until the transfer is on record: a call refused at once is cleared meanwhile, and its end
    // must be taken for a failed transfer, not for a callback's.
    std::unique_lock<std::mutex> settingUp(transferSetUpLock);
    // An empty destination would be routed as a call to nobody and leave the subscriber waiting.
    if (!number.empty() && SetUpCall(documents.transferParty, number, token, nullptr, 0, options)) {
        Log(Informational, "Making transfer.. Making call to ", number, " from=", line);
        // Not answered in time: given up, which clears it and tells the subscriber.
        const uint64_t timer = Workers().After(kTransferAnswerMs, [this, token] {
            if (!IsCallEstablished(token) && ClearCall(token, voip::CallEndReason::NoAnswer))
                Log(Notice, "Transfer call ", token, " not answered in time, cleared");
        });
        std::lock_guard<std::mutex> lock(mapsLock);
        transfer_contoken_map[line] = token;
        callback_contoken_map[line] = call ? call->GetToken() : std::string();
        transfers[token] = PendingTransfer{line, callback_contoken_map[line], number, timer};
        return;
    }
    settingUp.unlock();
    Log(Warning, "Making transfer.. Failed to start call to ", number, " from=", line);
    if (call)
        ClearCall(*call, voip::CallEndReason::LocalUser);
}

void MyManager::OnSIPCallDisconnected(const std::string& line)
{
    std::string callback;
    {
        std::lock_guard<std::mutex> lock(mapsLock);
        auto it = callback_contoken_map.find(line);
        if (it != callback_contoken_map.end())
            callback = it->second;
    }
    if (callback.empty())
        return;
    std::this_thread::sleep_for(milliseconds(kDisconnectDelayMs));
    if (ClearCall(callback, voip::CallEndReason::LocalUser))
        Log(Informational, "OnSIPCallDisconnected from NorCOM Cleared call sucessfull");
    else
        Log(Warning, "OnSIPCallDisconnected from NorCOM Cleared call FAILED");
    std::lock_guard<std::mutex> lock(mapsLock);
    callback_contoken_map.erase(line);
}

void MyManager::OnReleased(voip::Connection& connection)
{
    const std::string number = connection.GetRemotePartyNumber();
    Log(Debug, "MyManager::OnReleased remote_party_number=", number);
    // A leg the service placed that the far side turned down: say why, where it happened.
    if (const int status = connection.GetEndStatus()) {
        const voip::StringOptions options = connection.GetStringOptions();
        const auto operation = options.find(kOperationOption);
        // A transfer's failure is told where the transfer is cleared.
        if (operation == options.end() || operation->second != kTransferOperation)
            Log(Notice, "Callback to ", number, " refused: SIP ", status);
        // The exchange would not take a call from the line: it may have lost the line's
        // registration (a restart), so it is registered again rather than at its next refresh.
        const auto line = options.find(voip::kCallingPartyNumber);
        if ((status == 401 || status == 403 || status == 407) && line != options.end() && !line->second.empty())
            RegisterLineAgain(line->second, "a call from it was refused");
    }
    OnCallBackEnded(number);
    // A callback's dialogue leg gone: the subscriber hung up or was hung up, its PIN session is over.
    if (auto* ivr = dynamic_cast<MyIVRConnection*>(&connection))
        OnCallBackReleased(ivr);
    voip::Manager::OnReleased(connection);
}

void MyManager::OnEstablishedCall(voip::Call& call)
{
    uint64_t timer = 0;
    {
        std::lock_guard<std::mutex> lock(mapsLock);
        auto it = transfers.find(call.GetToken());
        if (it != transfers.end())
            timer = it->second.timer;
    }
    if (timer)
        Workers().Cancel(timer);
    voip::Manager::OnEstablishedCall(call);
}

void MyManager::OnClearedCall(voip::Call& call)
{
    // A transfer being set up is on record once this is taken.
    { std::lock_guard<std::mutex> settled(transferSetUpLock); }
    const std::string& token = call.GetToken();
    std::string line;
    std::string ringingTransfer;
    bool failed = false;
    PendingTransfer transfer;
    {
        std::lock_guard<std::mutex> lock(mapsLock);
        auto raised = raisedLines.find(token);
        if (raised != raisedLines.end()) {
            line = raised->second;
            raisedLines.erase(raised);
        }
        auto it = transfers.find(token);
        if (it != transfers.end()) {
            // A transfer call gone: answered and joined, or failed before that.
            transfer = it->second;
            transfers.erase(it);
            failed = !call.WasEstablished();
        } else {
            // A subscriber's call gone while its transfer still rings: nobody is left to join.
            for (const auto& pending : transfers)
                if (pending.second.callback == token)
                    ringingTransfer = pending.first;
        }
    }
    if (journal) {
        if (!transfer.callback.empty() && !failed)
            journal->AttemptOutcome(transfer.callback, CallBackJournal::EndReason::Transferred);
        auto far = call.GetConnection(1);
        std::lock_guard<std::recursive_mutex> placing(placingLock);
        journal->AttemptEnded(token, far ? far->GetEndStatus() : 0);
    }
    if (failed)
        TransferFailed(token, transfer, call);
    if (!ringingTransfer.empty()) {
        auto ringing = FindCall(ringingTransfer);
        if (ringing && !ringing->WasEstablished()) {
            Log(Notice, "Transfer call ", ringingTransfer, " cancelled: the subscriber hung up");
            ClearCall(*ringing, voip::CallEndReason::LocalUser);
        }
    }
    if (!line.empty())
        RestoreLineCOS(line);
    voip::Manager::OnClearedCall(call);
}

void MyManager::TransferFailed(const std::string& token, const PendingTransfer& transfer, voip::Call& call)
{
    Workers().Cancel(transfer.timer);
    auto destination = call.GetConnection(1);
    const voip::CallEndReason reason = destination ? destination->GetCallEndReason() : call.GetCallEndReason();
    const int status = destination ? destination->GetEndStatus() : 0;
    if (journal)
        journal->AttemptOutcome(transfer.callback, CallBackJournal::EndReason::TransferFailed, status);
    Log(Notice, "Transfer to ", transfer.number, " failed on line ", transfer.line,
        std::string(": ") + voip::CallEndReasonName(reason) + (status ? " (SIP " + std::to_string(status) + ")" : ""));
    {
        // The line's maps are left as if no transfer had been made.
        std::lock_guard<std::mutex> lock(mapsLock);
        auto pending = transfer_contoken_map.find(transfer.line);
        if (pending != transfer_contoken_map.end() && pending->second == token)
            transfer_contoken_map.erase(pending);
        auto callback = callback_contoken_map.find(transfer.line);
        if (callback != callback_contoken_map.end() && callback->second == transfer.callback)
            callback_contoken_map.erase(callback);
    }
    // The subscriber, still waiting in the dialogue, is told and hung up.
    auto subscriberCall = FindCall(transfer.callback);
    auto ivr = subscriberCall ? std::dynamic_pointer_cast<MyIVRConnection>(subscriberCall->GetConnection(0)) : nullptr;
    if (ivr && !ivr->IsReleased())
        ivr->PlayVXML(documents.transferFailed);
}

std::map<std::string, std::string> MyManager::OutgoingIvrTokens() const
{
    std::lock_guard<std::mutex> lock(mapsLock);
    return outgoing_ivr_contoken_map;
}

std::map<std::string, std::string> MyManager::TransferTokens() const
{
    std::lock_guard<std::mutex> lock(mapsLock);
    return transfer_contoken_map;
}

std::map<std::string, std::string> MyManager::CallbackTokens() const
{
    std::lock_guard<std::mutex> lock(mapsLock);
    return callback_contoken_map;
}
