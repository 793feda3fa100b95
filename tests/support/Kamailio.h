// A real Kamailio as the company's exchange: the repository's example configuration
// (deploy/kamailio/kamailio.cfg) run on a UDP loopback port picked at run time, its subscribers in
// db_text tables of its own, its log kept for waits and failure messages.
//
//   testsupport::KamailioPeer pbx({{"201", "secret"}, {"1234567", "alice"}});
//   if (!testsupport::KamailioPeer::Installed())
//       GTEST_SKIP() << testsupport::KamailioPeer::kNotInstalled;
//   ASSERT_TRUE(pbx.Start()) << pbx.Log();
//   // a phone registers 201:secret at pbx.Address() ...
//   ASSERT_TRUE(pbx.WaitRegistered("201")) << pbx.Log();
//
// The configuration's lines that tests wait for: "registered USER at CONTACT", "call from A to B at
// URI", "outside number N dialled by A", "hang-up by A in call ID", "METHOD from A to B refused: CODE
// REASON", "METHOD of A from HOST:PORT refused: wrong credentials (N)" (-2 a wrong password, -3 an
// unknown user, -8 another subscriber's digest). And "call from A to B through the trunk URI" when
// OUTSIDE_TRUNK is defined.
//
// Stop (SIGTERM) ends kamailio with its workers; so does the end of the test process, however it
// ends. Kill (SIGKILL, a crash) leaves the workers holding the port until the next Start or the
// destructor ends them.
#pragma once

#include "tests/support/ChildProcess.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct SipSubscriber
{
    std::string user;
    std::string password;
};

class KamailioPeer : public ChildProcess
{
public:
    static constexpr const char* kNotInstalled = "kamailio is not installed (.ci/deps.sh installs it)";
    // The kamailio program: found in PATH or in /usr/sbin; empty when there is none.
    static std::string Program();
    static bool Installed() { return !Program().empty(); }
    // The example configuration every peer runs.
    static std::string Configuration();

    explicit KamailioPeer(std::vector<SipSubscriber> subscribers = {});
    // Stops kamailio and every process it forked.
    ~KamailioPeer() override;

    // A define of the configuration given on the command line, e.g. ("OUTSIDE_TRUNK",
    // "\"sip:127.0.0.1:5090\""): strings keep their quotes. Takes effect at the next Start.
    void Define(const std::string& name, const std::string& value) { defines_[name] = value; }
    // Before Start, or between Stop and Start (kamailio reads its tables when it starts).
    void AddSubscriber(const SipSubscriber& subscriber) { subscribers_.push_back(subscriber); }

    // Writes the tables and starts kamailio on a free port (the same one on a later Start); true
    // once it answers an OPTIONS request. Registrations are kept in memory only: a restart forgets
    // them, as a real one would.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    int Port() const { return port_; }
    // "127.0.0.1:port", what phones and the service register at.
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // The domain of the subscribers' rows; the realm of a challenge is the From domain, this one for
    // phones that register at Address().
    std::string Realm() const { return "127.0.0.1"; }
    const std::string& Password(const std::string& user) const;

    // How many times text occurs in its log so far.
    int Logged(const std::string& text) const;
    // Waits until text occurs at least `times` times in its log.
    bool WaitLogged(const std::string& text, int times = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // The same for the registrations of user ("registered USER at").
    int Registrations(const std::string& user) const { return Logged("registered " + user + " at "); }
    bool WaitRegistered(const std::string& user, int times = 1,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        return WaitLogged("registered " + user + " at ", times, timeout);
    }

private:
    bool WriteTables() const;
    bool Answers(std::chrono::milliseconds timeout);
    void KillStragglers() const;

    std::vector<SipSubscriber> subscribers_;
    std::map<std::string, std::string> defines_;
    int port_ = 0;
};

} // namespace testsupport
