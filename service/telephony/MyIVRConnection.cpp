#include "service/telephony/MyIVRConnection.h"

#include "common/Logging.h"
#include "service/telephony/MyIVREndPoint.h"

#include "voip/core/Executor.h"
#include "voip/core/Manager.h"

#include <exception>
#include <memory>

MyIVRConnection::MyIVRConnection(voip::Call& call, MyIVREndPoint& ep, const std::string& token,
                                 const std::string& address, unsigned options,
                                 const voip::StringOptions& stringOptions)
    : voip::IvrConnection(call, ep, token, address, options, stringOptions), endpoint(ep)
{
}

void MyIVRConnection::PlayVXML(const std::string& document)
{
    voip::Executor& timers = GetManager().Workers();
    std::weak_ptr<voip::Connection> weak = shared_from_this();
    std::lock_guard<std::mutex> guard(digitsLock);
    if (keyed && document == GetInitialDocument()) {
        Log(Debug, "IVRConnection the subscriber already answers the first prompt, not played again");
        return;
    }
    if (pendingStart)
        timers.Cancel(pendingStart);
    // The id is known only once the timer is set: the task finds it under digitsLock, held here.
    auto id = std::make_shared<uint64_t>(0);
    pendingStart = *id = timers.After(kPlayPauseMs, [weak, id, document] {
        if (auto self = std::static_pointer_cast<MyIVRConnection>(weak.lock()))
            self->StartAfterPause(*id, document);
    });
}

void MyIVRConnection::StartAfterPause(uint64_t timer, const std::string& document)
{
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        if (pendingStart != timer)
            return; // replaced by a later document
    }
    StartVXML(document);
    std::chrono::steady_clock::time_point answered;
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        if (pendingStart != timer)
            return;
        pendingStart = 0;
        answered = answeredAt;
    }
    // What a caller waits for its announcement: the benchmark reads it.
    Log(Debug, "IVRConnection document started ",
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - answered).count(),
        " ms after the answer");
    // Keys pressed during the pause belong to this document.
    TakeEntry();
}

void MyIVRConnection::SetVXMLVar(const std::string& name, const std::string& value)
{
    SetVar(name, value);
}

std::string MyIVRConnection::EnteredDigits() const
{
    std::lock_guard<std::mutex> guard(digitsLock);
    return entered_digits;
}

void MyIVRConnection::OnEstablished()
{
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        answeredAt = std::chrono::steady_clock::now();
    }
    try {
        Log(Debug, "IVR  OnEsbablished ");
        auto other = GetOtherPartyConnection();
        // The caller may already be gone: nothing to answer or report then.
        if (!other)
            return;
        // A SIP leg the service dialled (callback, transfer) is the call's B-party, not its originator.
        if (!other->IsOriginating())
            endpoint.OnEstablishedOutgoingIVR(*this);
        else
            endpoint.OnEstablishedIncomingIVR(*this);
        Log(Debug, "IVR  OnEsbablished finished calling OpalIVRConnection::OnEstablished ");
        voip::IvrConnection::OnEstablished();
        Log(Debug, "OpalIVRConnection::OnEstablished finished  ");
        // Keys that came before the first document started belong to it.
        TakeEntry();
    } catch (const std::exception& e) {
        Log(Warning, "Exeption occured on calling OnEstablished ", e.what());
    }
}

bool MyIVRConnection::OnUserInputString(const std::string& value)
{
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        entered_digits += value;
        keyed = true;
        // Any key may be part of a PIN (keys pressed early are read by the next document): never shown.
        Log(Debug, "IVRConnection Got digit ", LogMasked(value));
    }
    TakeEntry();
    return true;
}

void MyIVRConnection::TakeEntry()
{
    // One taker at a time (the keys' worker, the pause's timer), so an entry is taken once.
    std::unique_lock<std::mutex> taking(entryLock);
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        // During a pause the document they are for has not started: its state is not yet there.
        if (pendingStart || entered_digits.find('#') == std::string::npos)
            return;
    }
    // Not under digitsLock: the reports go on to a PlayVXML on this connection. Outside a PIN or a
    // number (before the first document started) the keys wait for the state that takes them.
    const std::string state = GetVar("dialog.state");
    if (state != "enterpin" && state != "transfer")
        return;
    std::string digits;
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        const size_t end = entered_digits.find('#');
        digits = entered_digits.substr(0, end);
        entered_digits.erase(0, end + 1);
    }
    taking.unlock();
    if (state == "enterpin") {
        Log(Debug, "IVRConnection OnPinEntered ");
        endpoint.OnPinEntered(*this, digits);
    } else {
        Log(Debug, "IVRConnection OnTransferNumberEntered ");
        endpoint.OnTransferNumberEntered(*this, digits);
    }
}

void MyIVRConnection::OnEndDialog()
{
    const std::string state = GetVar("dialog.state");
    Log(Debug, "IVRConnection OnEndDialog state=", state);
    if (state == "enterpin") {
        // Nothing keyed before the timeout counts as a wrong PIN; the leg stays up either way. Keys
        // without their "#" are not carried over into the next entry.
        if (GetVar("dialog.pin_code").empty()) {
            {
                std::lock_guard<std::mutex> guard(digitsLock);
                entered_digits.clear();
            }
            endpoint.OnPinEntered(*this, std::string());
        }
        return;
    }
    if (state == "transfer") {
        if (GetVar("dialog.transfer_to").empty())
            voip::IvrConnection::OnEndDialog();
        return;
    }
    voip::IvrConnection::OnEndDialog();
}
