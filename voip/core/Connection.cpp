#include "voip/core/Connection.h"

#include "voip/core/Address.h"
#include "voip/core/Call.h"
#include "voip/core/Endpoint.h"
#include "voip/core/Manager.h"

namespace voip {

Connection::Connection(Call& call, Endpoint& endpoint, const std::string& token, const std::string& address,
                       unsigned options, const StringOptions& stringOptions)
    : call_(call.weak_from_this()), endpoint_(endpoint), token_(token), address_(address), options_(options),
      stringOptions_(stringOptions)
{
}

Connection::~Connection() = default;

std::shared_ptr<Call> Connection::GetCall() const
{
    return call_.lock();
}

Manager& Connection::GetManager() const
{
    return endpoint_.GetManager();
}

std::shared_ptr<Connection> Connection::GetOtherPartyConnection() const
{
    auto call = call_.lock();
    return call ? call->GetOtherPartyConnection(*this) : nullptr;
}

bool Connection::IsOriginating() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return originating_;
}

Connection::Phase Connection::GetPhase() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return phase_;
}

bool Connection::IsReleased() const
{
    Phase phase = GetPhase();
    return phase == Phase::Releasing || phase == Phase::Released;
}

CallEndReason Connection::GetCallEndReason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return endReason_;
}

int Connection::GetEndStatus() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return endStatus_;
}

void Connection::SetEndStatus(int status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    endStatus_ = status;
}

StringOptions Connection::GetStringOptions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stringOptions_;
}

void Connection::SetStringOption(const std::string& name, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stringOptions_[name] = value;
}

std::string Connection::RemoteField(std::string Connection::*field) const
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!remoteAddress_.empty())
            return this->*field;
    }
    // One step only: two connections without peers of their own must not ask each other forever.
    auto other = GetOtherPartyConnection();
    if (!other)
        return {};
    std::lock_guard<std::mutex> lock(other->mutex_);
    return (*other).*field;
}

std::string Connection::GetRemotePartyAddress() const
{
    return RemoteField(&Connection::remoteAddress_);
}

std::string Connection::GetRemotePartyNumber() const
{
    return UserPartOf(GetRemotePartyAddress());
}

std::string Connection::GetRemotePartyName() const
{
    return RemoteField(&Connection::remoteName_);
}

std::string Connection::GetLocalPartyAddress() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return localAddress_;
}

void Connection::OnEstablished() {}

bool Connection::OnUserInputString(const std::string& value)
{
    return SendUserInputString(value);
}

void Connection::OnReleased() {}

bool Connection::TransferConnection(const std::string&)
{
    return false;
}

bool Connection::SendUserInputString(const std::string&)
{
    return false;
}

std::shared_ptr<AudioSource> Connection::GetAudioSource()
{
    return nullptr;
}

void Connection::Release(CallEndReason reason)
{
    if (auto call = call_.lock())
        call->Clear(reason);
}

bool Connection::SetUpConnection()
{
    SetConnected();
    return true;
}

void Connection::AnswerCall()
{
    SetConnected();
}

void Connection::OnClearing(CallEndReason) {}

void Connection::SetAlerting()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Phase::SettingUp)
            return;
        phase_ = Phase::Alerting;
    }
    auto call = call_.lock();
    if (!call || call->GetConnection(1).get() != this)
        return;
    auto caller = call->GetConnection(0);
    if (caller && caller->GetPhase() == Phase::SettingUp && !call->IsClearing())
        caller->AlertCall();
}

void Connection::AlertCall() {}

void Connection::SetConnected()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ != Phase::SettingUp && phase_ != Phase::Alerting)
            return;
        phase_ = Phase::Connected;
    }
    if (auto call = call_.lock())
        call->ConnectionConnected(*this);
}

void Connection::DeliverUserInput(const std::string& value)
{
    auto call = call_.lock();
    if (!call || call->IsClearing())
        return;
    auto other = call->GetOtherPartyConnection(*this);
    if (!other)
        return;
    call->Notify([other, value] { other->OnUserInputString(value); });
}

void Connection::SetRemotePartyAddress(const std::string& address, const std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    remoteAddress_ = address;
    remoteName_ = name;
}

void Connection::SetLocalPartyAddress(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    localAddress_ = address;
}

} // namespace voip
