// One party of a call: a SIP leg, an IVR dialogue, a local test phone.
#pragma once

#include "voip/core/AudioSource.h"
#include "voip/core/CallEndReason.h"
#include "voip/core/CallOptions.h"

#include <memory>
#include <mutex>
#include <string>

namespace voip {

class Call;
class Endpoint;
class Manager;

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    // Alerting: the called party is ringing (SIP 180/183).
    enum class Phase { SettingUp, Alerting, Connected, Established, Releasing, Released };

    // Made by an endpoint's factory (Endpoint::CreateConnection) with the arguments it was given.
    Connection(Call& call, Endpoint& endpoint, const std::string& token, const std::string& address,
               unsigned options, const StringOptions& stringOptions);
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& GetToken() const { return token_; }
    // Null once the call is gone.
    std::shared_ptr<Call> GetCall() const;
    Endpoint& GetEndpoint() const { return endpoint_; }
    Manager& GetManager() const;
    // The other party of the call; null when there is none (yet, or any more).
    std::shared_ptr<Connection> GetOtherPartyConnection() const;

    // The A-party of its call: the leg that started it. A SIP leg is originating when the peer
    // called in; a leg the service dialled (B-party) is not.
    bool IsOriginating() const;
    Phase GetPhase() const;
    bool IsEstablished() const { return GetPhase() == Phase::Established; }
    bool IsReleased() const;
    CallEndReason GetCallEndReason() const;
    // The peer's final answer when it turned the call down before answering (403, 486, ...); 0 when
    // there was none. Set by the protocol side before it releases the connection.
    int GetEndStatus() const;
    void SetEndStatus(int status);

    // The address this connection was made for, prefix included ("sip:123", "ivr:<?xml ...").
    const std::string& GetAddress() const { return address_; }
    unsigned GetOptions() const { return options_; }
    StringOptions GetStringOptions() const;
    void SetStringOption(const std::string& name, const std::string& value);

    // The far party. A connection without a peer of its own (IVR, local phone) reports the far
    // party of the other connection of its call.
    std::string GetRemotePartyAddress() const; // "sip:123@host"
    std::string GetRemotePartyNumber() const;  // "123"
    std::string GetRemotePartyName() const;    // display name, may be empty
    // This side's own address ("sip:line1@pbx" for a call placed on line1).
    std::string GetLocalPartyAddress() const;

    // Notifications. They run on the manager's worker threads, one at a time and in order for one
    // call, never on a protocol stack's thread: an override may block or sleep.
    virtual void OnEstablished();
    // User input (DTMF, one key press per call, "1".."9", "0", "*", "#", "A".."D") from the other
    // party. The default passes it on to this connection's own peer (SendUserInputString).
    virtual bool OnUserInputString(const std::string& value);
    virtual void OnReleased();

    // Operations, from any thread.
    // Transfer of the peer to another destination; the default refuses.
    virtual bool TransferConnection(const std::string& destination);
    // Sends keys to this connection's own peer; the default has no peer and refuses.
    virtual bool SendUserInputString(const std::string& value);
    // Audio this connection supplies for the other party's media to send (the IVR's announcements,
    // a test tone). Null plays silence. Asked when the other party's media starts.
    virtual std::shared_ptr<AudioSource> GetAudioSource();
    // Clears the whole call.
    void Release(CallEndReason reason = CallEndReason::LocalUser);

    // For users holding a connection found by token (Endpoint::FindConnectionWithLock). The library
    // never holds it while it calls out.
    std::recursive_mutex& GetLock() const { return userLock_; }

protected:
    // The protocol side, for endpoint implementations. The library calls these from the thread that
    // drives the call (a caller of SetUpCall, a worker, a protocol stack): they must not block.
    // B-party: start reaching the party. The default answers at once.
    virtual bool SetUpConnection();
    // A-party: the other party is ringing; tell the caller (SIP 180). The default does nothing.
    virtual void AlertCall();
    // A-party: the other party answered, accept the call. The default is up at once.
    virtual void AnswerCall();
    // The call is being cleared: end the protocol side (BYE, CANCEL, a final answer).
    virtual void OnClearing(CallEndReason reason);

    // The party is being alerted.
    void SetAlerting();
    // The leg is up (answered, or the answer acknowledged).
    void SetConnected();
    // User input received from this connection's peer, for the other party of the call.
    void DeliverUserInput(const std::string& value);
    void SetRemotePartyAddress(const std::string& address, const std::string& name = {});
    void SetLocalPartyAddress(const std::string& address);

private:
    friend class Call;
    friend class Manager;
    // A field of this connection's far party, or of the other party's when this one has none.
    std::string RemoteField(std::string Connection::*field) const;

    std::weak_ptr<Call> call_;
    Endpoint& endpoint_;
    const std::string token_;
    const std::string address_;
    const unsigned options_;

    mutable std::mutex mutex_;
    StringOptions stringOptions_;
    std::string remoteAddress_;
    std::string remoteName_;
    std::string localAddress_;
    Phase phase_ = Phase::SettingUp;
    CallEndReason endReason_ = CallEndReason::None;
    int endStatus_ = 0;
    bool originating_ = false;

    mutable std::recursive_mutex userLock_;
};

// A connection found by token: kept alive, and its lock held, until this goes out of scope or
// Release() is called.
template <class T = Connection>
class SafeConnection
{
public:
    SafeConnection() = default;
    explicit SafeConnection(std::shared_ptr<T> connection) : ptr_(std::move(connection))
    {
        if (ptr_)
            lock_ = std::unique_lock<std::recursive_mutex>(ptr_->GetLock());
    }
    T* operator->() const { return ptr_.get(); }
    T& operator*() const { return *ptr_; }
    T* get() const { return ptr_.get(); }
    explicit operator bool() const { return ptr_ != nullptr; }
    void Release()
    {
        if (lock_.owns_lock())
            lock_.unlock();
        ptr_.reset();
    }

private:
    std::shared_ptr<T> ptr_;                  // declared first: destroyed after the lock
    std::unique_lock<std::recursive_mutex> lock_;
};

} // namespace voip
