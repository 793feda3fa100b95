// The exchange's SIP side: a registrar with digest authentication and a back-to-back user agent.
// Every call is two legs, the caller's and the called party's, with the media relayed between
// them; a line's answered call and its second answered call are joined (see README).
#pragma once

#include "exchange/Config.h"

#include <memory>
#include <string>

namespace dialplan {
class DialPlan;
}
namespace voip {
class RtpRelay;
}

namespace exchange {

class LineTable;
struct SwitchCore;

class SipSwitch
{
public:
    SipSwitch(const ExchangeConfig& config, LineTable& lines, const dialplan::DialPlan& plan,
              voip::RtpRelay& relay);
    ~SipSwitch(); // Stop()
    SipSwitch(const SipSwitch&) = delete;
    SipSwitch& operator=(const SipSwitch&) = delete;

    // Listens on UDP at host:port, a free port for 0. False when the stack cannot start there.
    bool Start(const std::string& host, int port);
    // The port listened on, once started.
    int Port() const;
    // Ends every call and the stack's thread. Idempotent.
    void Stop();

    // The extension's contact is known and not expired.
    bool IsRegistered(const std::string& number) const;
    // Calls with a leg still up.
    size_t CallCount() const;
    // Calls put through to the called party and answered, since start.
    uint64_t AnsweredCount() const;

private:
    std::unique_ptr<SwitchCore> core_;
};

} // namespace exchange
