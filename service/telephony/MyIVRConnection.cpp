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
    entered_digits.clear();
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
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        if (pendingStart != timer)
            return;
        pendingStart = 0;
    }
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
    } catch (const std::exception& e) {
        Log(Warning, "Exeption occured on calling OnEstablished ", e.what());
    }
}

bool MyIVRConnection::OnUserInputString(const std::string& value)
{
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        entered_digits += value;
        // Any key may be part of a PIN (keys pressed early are read by the next document): never shown.
        Log(Debug, "IVRConnection Got digit ", LogMasked(value));
    }
    TakeEntry();
    return true;
}

void MyIVRConnection::TakeEntry()
{
    std::string digits;
    {
        std::lock_guard<std::mutex> guard(digitsLock);
        // During a pause the document they are for has not started: its state is not yet there.
        if (pendingStart)
            return;
        const size_t end = entered_digits.find('#');
        if (end == std::string::npos)
            return;
        digits = entered_digits.substr(0, end);
    }
    // Not under digitsLock: the reports go on to a PlayVXML on this connection.
    const std::string state = GetVar("dialog.state");
    if (state == "enterpin") {
        Log(Debug, "IVRConnection OnPinEntered ");
        endpoint.OnPinEntered(*this, digits);
    } else if (state == "transfer") {
        Log(Debug, "IVRConnection OnTransferNumberEntered ");
        endpoint.OnTransferNumberEntered(*this, digits);
    }
}

void MyIVRConnection::OnEndDialog()
{
    const std::string state = GetVar("dialog.state");
    Log(Debug, "IVRConnection OnEndDialog state=", state);
    if (state == "enterpin") {
        // Nothing keyed before the timeout counts as a wrong PIN; the leg stays up either way.
        if (GetVar("dialog.pin_code").empty())
            endpoint.OnPinEntered(*this, std::string());
        return;
    }
    if (state == "transfer") {
        if (GetVar("dialog.transfer_to").empty())
            voip::IvrConnection::OnEndDialog();
        return;
    }
    voip::IvrConnection::OnEndDialog();
}
