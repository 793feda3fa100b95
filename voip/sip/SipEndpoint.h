// The SIP endpoint (prefix "sip") on Sofia-SIP: listeners, line registrations with digest
// authentication, calls in and out, and their RTP media.
#pragma once

#include "voip/core/Endpoint.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace voip {

class MediaEngine;
struct SipStack;

// One line's registration with its server.
struct SipRegistrationParams
{
    std::string registrarAddress; // "host[:port]"
    std::string proxyAddress;     // "host[:port]"; empty: the registrar
    std::string addressOfRecord;  // "line" or "sip:line@host"; a bare line is taken at the registrar
    std::string contact;          // optional; only its user part is used, the host is the listener's
    std::string authID;           // user name of the digest; empty: the line
    std::string password;
    unsigned expire = 360;        // seconds; the stack refreshes before expiry
};

class SipEndpoint : public Endpoint
{
public:
    // Notifications run on the manager's workers, whose number grows with demand (an override may
    // sleep without holding up other calls).
    explicit SipEndpoint(Manager& manager);
    ~SipEndpoint() override;

    // Listens on UDP at each "host[:port]" (port 5060 when absent, an IPv6 host in brackets); "" is
    // every interface. The stack takes one listening address: further entries are ignored with a
    // warning. False when the stack cannot start there.
    bool StartListeners(const std::vector<std::string>& interfaces);
    bool IsListening() const;
    // The address written in SDP and Contact ("127.0.0.1"), and the port listened on.
    std::string GetLocalAddress() const;
    int GetListenerPort() const;

    // Registers a line; aor receives its address of record. The result of the REGISTER arrives
    // later (IsRegistered). The line name (the user part of the address of record) selects this
    // registration for calls that name it in "Calling-Party-Number".
    bool Register(const SipRegistrationParams& params, std::string& aor);
    bool Unregister(const std::string& aor);
    bool IsRegistered(const std::string& aor) const;
    // Successful REGISTER transactions of the line so far (refreshes included).
    unsigned RegistrationCount(const std::string& aor) const;

    // No RTP from the peer for this long clears the call (CallEndReason::MediaTimeout).
    void SetMediaTimeout(std::chrono::milliseconds timeout);
    // RTP ports used, [first, last).
    void SetRtpPortRange(int first, int last);
    MediaEngine& Media();

    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void* userData,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override;
    void ShutDown() override;

private:
    friend class SipConnection;
    friend struct SipStack;
    std::unique_ptr<MediaEngine> media_;
    std::unique_ptr<SipStack> stack_;
};

} // namespace voip
