#include "voip/ivr/IvrEndpoint.h"

#include "voip/core/Manager.h"

#include "voip/core/Log.h"

namespace voip {

// Hands the dialogue's reports to the connection while it lives, holding it for the duration of
// each report, so a report never runs into a connection being destroyed.
class IvrConnection::Reports : public IvrDialogueListener
{
public:
    explicit Reports(std::weak_ptr<Connection> connection) : connection_(std::move(connection)) {}

    void OnDialogueTransfer(const std::string& destination) override
    {
        if (auto c = Lock())
            c->Transfer(destination);
    }
    void OnDialogueHangUp() override
    {
        if (auto c = Lock()) {
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->hangUp_ = true;
        }
    }
    void OnDialogueEnded(VxmlEnd reason) override
    {
        if (auto c = Lock())
            c->Ended(reason);
    }

private:
    std::shared_ptr<IvrConnection> Lock() const
    {
        return std::static_pointer_cast<IvrConnection>(connection_.lock());
    }
    std::weak_ptr<Connection> connection_;
};

IvrConnection::IvrConnection(Call& call, IvrEndpoint& endpoint, const std::string& token,
                             const std::string& address, unsigned options, const StringOptions& stringOptions)
    : Connection(call, endpoint, token, address, options, stringOptions),
      initialDocument_(endpoint.StripPrefix(address))
{
}

IvrConnection::~IvrConnection() = default;

IvrEndpoint& IvrConnection::GetIvrEndpoint() const
{
    return static_cast<IvrEndpoint&>(GetEndpoint());
}

IvrDialogue& IvrConnection::Dialogue() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dialogue_) {
        reports_ = std::make_shared<Reports>(std::const_pointer_cast<Connection>(shared_from_this()));
        dialogue_ = std::make_unique<IvrDialogue>(*reports_, GetManager().Workers());
    }
    return *dialogue_;
}

bool IvrConnection::StartVXML(const std::string& document)
{
    if (IsReleased())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hangUp_ = false;
    }
    return Dialogue().Start(document);
}

void IvrConnection::SetVar(const std::string& name, const std::string& value)
{
    Dialogue().SetVar(name, value);
}

std::string IvrConnection::GetVar(const std::string& name) const
{
    return Dialogue().GetVar(name);
}

std::map<std::string, std::string> IvrConnection::GetVars() const
{
    return Dialogue().Variables();
}

bool IvrConnection::IsDialogueRunning() const
{
    return Dialogue().IsRunning();
}

VxmlEnd IvrConnection::GetDialogEndReason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return endReason_;
}

void IvrConnection::OnEstablished()
{
    if (!initialDocument_.empty())
        StartVXML(initialDocument_);
}

bool IvrConnection::OnUserInputString(const std::string& value)
{
    Dialogue().Digits(value);
    return true;
}

void IvrConnection::OnEndDialog()
{
    Release(CallEndReason::LocalUser);
}

std::shared_ptr<AudioSource> IvrConnection::GetAudioSource()
{
    return Dialogue().Audio();
}

void IvrConnection::OnReleased()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (dialogue_)
        dialogue_->Stop();
}

void IvrConnection::Transfer(const std::string& destination)
{
    auto other = GetOtherPartyConnection();
    if (other && !other->IsReleased() && other->TransferConnection(destination))
        return; // the dialogue waits; whoever transfers clears the call
    Log(Warning, "IVR transfer to ", destination, " was refused on call ", GetToken());
    Dialogue().TransferFinished();
}

void IvrConnection::Ended(VxmlEnd reason)
{
    bool hangUp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endReason_ = reason;
        hangUp = hangUp_;
    }
    if (IsReleased())
        return;
    OnEndDialog();
    // <disconnect/> hangs up whatever the end-of-dialogue handling chose.
    if (hangUp)
        Release(CallEndReason::LocalUser);
}

IvrEndpoint::IvrEndpoint(Manager& manager, const std::string& prefix) : Endpoint(manager, prefix) {}

std::shared_ptr<Connection> IvrEndpoint::CreateConnection(Call& call, const std::string& token, void*,
                                                          const std::string& address, unsigned options,
                                                          const StringOptions& stringOptions)
{
    return std::make_shared<IvrConnection>(call, *this, token, address, options, stringOptions);
}

} // namespace voip
