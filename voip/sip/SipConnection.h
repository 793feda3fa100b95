// One SIP leg of a call.
#pragma once

#include "voip/core/Connection.h"

#include <memory>

namespace voip {

class MediaStream;
class SipEndpoint;
struct SipLeg;

// Options of outgoing calls. From carries Calling-Party-Number (else Calling-Party-Name) as its
// user and Calling-Display-Name (else Calling-Party-Name) as its display name; when the number names
// a registered line, From is that line's address of record and a URL without host ("sip:123") goes
// to the line's server.
constexpr const char* kCallingPartyNumber = "Calling-Party-Number";
constexpr const char* kCallingPartyName = "Calling-Party-Name";
constexpr const char* kCallingDisplayName = "Calling-Display-Name";

class SipConnection : public Connection
{
public:
    SipConnection(SipEndpoint& endpoint, Call& call, const std::string& token, const std::string& address,
                  unsigned options, const StringOptions& stringOptions);
    ~SipConnection() override;

    SipEndpoint& GetSipEndpoint() const { return sipEndpoint_; }

    // Sends REFER to the peer.
    bool TransferConnection(const std::string& destination) override;
    // RFC 4733 events when the peer takes them, else SIP INFO (application/dtmf-relay).
    bool SendUserInputString(const std::string& value) override;

    // How the peer answered the REFER of TransferConnection, then how the call it placed went (the
    // status lines its NOTIFYs carry). On a worker thread; the defaults log them.
    virtual void OnTransferAnswered(int status, const std::string& phrase);
    virtual void OnTransferProgress(int status, const std::string& phrase);

    // RTP packets sent to and received from the peer so far.
    uint64_t GetPacketsSent() const;
    uint64_t GetPacketsReceived() const;

protected:
    bool SetUpConnection() override;
    void AlertCall() override;
    void AnswerCall() override;
    void OnClearing(CallEndReason reason) override;

private:
    friend struct SipStack;
    void WireMedia(MediaStream& media);
    SipEndpoint& sipEndpoint_;
    std::shared_ptr<SipLeg> leg_;
};

} // namespace voip
