// The whole exchange: line table, dial plan, media relay, SIP side and control server, started
// and stopped together. The control server runs in a thread of its own with an event loop, so
// the exchange needs none from its owner (a QCoreApplication must exist, though).
#pragma once

#include "exchange/Config.h"
#include "exchange/LineTable.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace dialplan {
class DialPlan;
}
namespace voip {
class RtpRelay;
}

namespace exchange {

class SipSwitch;

class Exchange
{
public:
    explicit Exchange(const ExchangeConfig& config);
    ~Exchange(); // Stop()
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Port 0 in an address takes a free one (see SipPort, ControlPort). False with a message.
    bool Start(std::string& error);
    void Stop();

    int SipPort() const { return sipPort_; }
    int ControlPort() const { return controlPort_; }
    const std::string& SipHost() const { return sipHost_; }
    const ExchangeConfig& Config() const { return config_; }
    LineTable& Lines() { return *lines_; }
    SipSwitch& Sip() { return *sip_; }
    voip::RtpRelay& Relay() { return *relay_; }

private:
    struct Notification
    {
        int line;
        int call;
        CallState state;
    };
    void WakeControl();

    const ExchangeConfig config_;
    std::string sipHost_;
    int sipPort_ = 0;
    int controlPort_ = 0;
    std::unique_ptr<LineTable> lines_;
    std::unique_ptr<dialplan::DialPlan> plan_;
    std::unique_ptr<voip::RtpRelay> relay_;
    std::unique_ptr<SipSwitch> sip_;
    std::thread controlThread_;
    int controlWake_ = -1; // eventfd
    std::mutex controlMutex_;
    std::deque<Notification> notifications_;
    bool controlStop_ = false;
};

} // namespace exchange
