// What the exchange's tests drive it with: a control client on a plain blocking socket, telephones
// made of the project's own SIP library, and waits bounded in time.
#pragma once

#include "exchange/Config.h"
#include "exchange/Exchange.h"

#include "voip/core/Call.h"
#include "voip/local/LocalEndpoint.h"
#include "voip/core/Manager.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace exchange::test {

// The exchange's state and the phones' calls offer no event to wait on.
using testsupport::WaitFor;

// The built-in configuration on free loopback ports, relay ports away from the phones'.
ExchangeConfig TestConfig();

class ControlClient
{
public:
    ~ControlClient();
    bool Connect(int port);
    void Close();
    bool SendRaw(const std::string& bytes);
    // The next line from the server, parsed; an empty object on timeout or a closed connection.
    QJsonObject Next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends a request and returns its answer; notifications read meanwhile are kept.
    QJsonObject Request(const std::string& method, const QJsonObject& params = {});
    bool Login(const std::string& user = "selvane", const std::string& password = "selvane");
    // The line's id from openLine (0 on failure).
    int OpenLine(const std::string& name);
    // Notifications read so far (and those arriving within timeout) until one matches line and state.
    bool WaitState(int line, int state, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // States seen for line, in order, dropping them from the queue.
    std::vector<int> TakeStates(int line);
    // True when the server closed the connection (read returns end of file within timeout).
    bool Closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    std::deque<QJsonObject> notifications;

private:
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout);
    int fd_ = -1;
    int nextId_ = 1;
    std::string buffer_;
};

class Phone
{
public:
    // Listens on a free loopback port and registers number with password at the exchange.
    Phone(const Exchange& exchange, const std::string& number, const std::string& password);
    // The same at an exchange run as a program: its SIP address, "host:port".
    Phone(const std::string& exchangeAddress, const std::string& number, const std::string& password);
    ~Phone();
    bool Registered(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Dials through the exchange; the token of the call in this phone's manager.
    std::string Dial(const std::string& number);
    // The SIP leg of a call of this phone (placed or received).
    std::shared_ptr<voip::SipConnection> Leg(const std::string& token) const;
    std::shared_ptr<voip::LocalConnection> Local(const std::string& token) const;
    // Tokens of the calls up now.
    std::vector<std::string> Calls() const;
    // Waits for the only call this phone holds to be established; its token or empty.
    std::string WaitCall(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitEstablished(const std::string& token, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitGone(const std::string& token, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    uint64_t Received(const std::string& token) const;
    // The reason of the next call released on this phone ("refused", "busy", ...); empty on timeout.
    std::string WaitRelease(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    voip::LocalEndpoint& Local() { return *local_; }
    voip::Manager& Manager() { return *manager_; }
    voip::SipEndpoint& Sip() { return *sip_; }
    const std::string& Number() const { return number_; }

private:
    std::unique_ptr<voip::Manager> manager_;
    voip::SipEndpoint* sip_ = nullptr;
    voip::LocalEndpoint* local_ = nullptr;
    std::string number_;
    std::string aor_;
    std::string exchangeAddress_;
    std::mutex mutex_;
    std::condition_variable released_;
    std::deque<std::string> releases_;
};

// The control protocol's line states.
enum State { kIdle = 0, kConnected = 1, kRinging = 2, kDialing = 3, kBusy = 4, kHold = 5 };

// An exchange in this process with a control client logged in, and phones registered at it.
class ExchangeFixture : public ::testing::Test
{
protected:
    void Start(ExchangeConfig config = TestConfig());
    // A phone registered under number, its password the number.
    std::unique_ptr<Phone> Register(const std::string& number);
    // Drains notifications until the line has reported state, then gives the states seen.
    std::vector<int> StatesUntil(int line, int state);

    std::unique_ptr<Exchange> pbx; // declared first: phones and the client go before it
    ControlClient control;
};

} // namespace exchange::test
