// The SIP endpoint (prefix "sip") on Sofia-SIP: listeners, line registrations with digest
// authentication, calls in and out, and their RTP media.
#pragma once

#include "voip/core/Endpoint.h"
#include "voip/sip/LineLegs.h"

#include <chrono>
#include <functional>
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

// An INVITE that would start a call, as it arrived: what an endpoint that admits only some callers
// looks at before any call is made.
struct InviteRequest
{
    std::string sourceHost; // the address the datagram came from ("127.0.0.1")
    int sourcePort = 0;
    std::string fromUser;    // the user part of From: the caller ID
    std::string requestUser; // the user part of the request URI: the number called
    std::string requestUri;
};

// The answer to an INVITE that is not admitted; status 0 admits it.
struct InviteRefusal
{
    int status = 0;
    std::string phrase;  // empty: the standard phrase of the status
    std::string warning; // the text of a Warning header (code 399); empty: none
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
    // Sends the line's REGISTER again at once (the server may have forgotten it), as a refresh
    // would; false when no registration has that line name or the stack is not running.
    bool RegisterAgain(const std::string& line);
    // Successful REGISTER transactions of the line so far (refreshes included).
    unsigned RegistrationCount(const std::string& aor) const;

    // No RTP from the peer for this long clears the call (CallEndReason::MediaTimeout).
    void SetMediaTimeout(std::chrono::milliseconds timeout);
    // RTP ports used, [first, last).
    void SetRtpPortRange(int first, int last);
    MediaEngine& Media();

    // Who follows the legs of the lines; null: nobody. The default is the one set process-wide
    // (SetDefaultLineObserver) when the endpoint was made.
    void SetLineObserver(std::shared_ptr<LineLegObserver> observer);
    static void SetDefaultLineObserver(std::shared_ptr<LineLegObserver> observer);
    // Joins the far parties of two answered legs: their RTP is relayed between them from now on,
    // keys and SIP INFO included, and clearing either leg's connection no longer ends its dialog.
    // When one party hangs up, or after limit (zero: none), both dialogs end (JoinEnded). Done on
    // the stack's thread; a leg that cannot be joined is logged and left as it is. done (may be empty)
    // then runs on a worker, after the second leg's earlier reports, with whether they were joined.
    void JoinLegs(uint64_t first, uint64_t second, std::chrono::milliseconds limit,
                  std::function<void(bool)> done = {});

    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void* userData,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override;
    void ShutDown() override;

protected:
    // Asked on the stack's thread for every new INVITE, before anything else is done with it: it must
    // answer at once (no waiting, no name lookups). The default admits every one.
    virtual InviteRefusal AdmitInvite(const InviteRequest& invite) { return {}; }
    // A REGISTER of the line succeeded (the first or a refresh); on the manager's workers.
    virtual void OnLineRegistered(const std::string& line) {}

private:
    friend class SipConnection;
    friend struct SipStack;
    std::unique_ptr<MediaEngine> media_;
    std::unique_ptr<SipStack> stack_;
};

} // namespace voip
