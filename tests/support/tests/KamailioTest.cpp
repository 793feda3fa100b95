// The example Kamailio configuration as a company's exchange, run by the test peer: voipcall phones
// register with their digests and call each other through it, the outside-line prefix reaches a
// phone registered under an outside number or else the trunk, and what must be refused is refused.
#include "tests/support/Kamailio.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::KamailioPeer;

// A voipcall phone registered at the exchange as user:password, extra arguments after the usual.
std::unique_ptr<ChildProcess> Phone(const KamailioPeer& pbx, const std::string& user,
                                    const std::string& password, const std::vector<std::string>& extra = {})
{
    auto phone = std::make_unique<ChildProcess>();
    const std::string listen = "127.0.0.1:" + std::to_string(testsupport::FreeUdpPort());
    std::vector<std::string> args = {SELVANE_VOIPCALL, "--listen", listen, "--media"};
    args.insert(args.end(), {"--register", user + ":" + password + "@" + pbx.Address()});
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(phone->Run(args));
    return phone;
}

// True when the phone's output reports RTP received on a call.
bool HeardMedia(const ChildProcess& phone)
{
    return std::regex_search(phone.Output(), std::regex("media \\S+ sent=[1-9][0-9]* received=[1-9][0-9]*"));
}

TEST(Kamailio, RegistersAuthenticatesAndRoutesCalls)
{
    if (!KamailioPeer::Installed())
        GTEST_SKIP() << KamailioPeer::kNotInstalled;
    // Outside numbers no phone registered under go to a SIPp trunk that answers, keeping the route
    // the exchange recorded as a real trunk would.
    voip::SippProcess trunk;
    ASSERT_TRUE(trunk.MakeFolder());
    const int trunkPort = testsupport::FreeUdpPort();
    const std::string answer =
        voip::Scenario("sip_uas_answer", {{"[last_Call-ID:]", "[last_Call-ID:]\n      [last_Record-Route:]"}},
                       trunk.Folder());
    ASSERT_TRUE(trunk.Start(
        {"-sf", answer, "-p", std::to_string(trunkPort), "-m", "1", "-timeout", "40s", "-timeout_error"}));
    ASSERT_TRUE(testsupport::WaitUntilBound(trunkPort)) << trunk.Log();
    KamailioPeer pbx({{"201", "line-201"}, {"1234567", "alice-7"}, {"101", "desk-1"}, {"102", "desk-2"}});
    pbx.Define("OUTSIDE_TRUNK", "\"sip:127.0.0.1:" + std::to_string(trunkPort) + "\"");
    ASSERT_TRUE(pbx.Start()) << pbx.Log();

    // An outside phone registers under its outside number.
    auto alice = Phone(pbx, "1234567", "alice-7");
    ASSERT_TRUE(pbx.WaitRegistered("1234567")) << pbx.Log() << alice->Log();

    // The line dials it with the outside-line prefix: its INVITE is challenged, it answers with its
    // digest, the phone rings and answers, media flows both ways, and the line's hang-up passes the
    // exchange (the call was record-routed).
    auto line =
        Phone(pbx, "201", "line-201", {"--call", "sip:91234567@" + pbx.Address(), "--hangup-after", "3"});
    ASSERT_TRUE(line->WaitForOutput("established ", 10s)) << line->Log() << pbx.Log();
    ASSERT_TRUE(alice->WaitForOutput("established ", 10s)) << alice->Log() << pbx.Log();
    EXPECT_TRUE(pbx.WaitRegistered("201")) << pbx.Log();
    EXPECT_EQ(pbx.Logged("outside number 1234567 dialled by 201"), 1) << pbx.Log();
    EXPECT_TRUE(alice->WaitForOutput("released ", 10s)) << alice->Log();
    EXPECT_NE(alice->Output().find("remote user"), std::string::npos) << alice->Log();
    EXPECT_TRUE(pbx.WaitLogged("hang-up by 201 in call")) << pbx.Log();
    EXPECT_EQ(line->Wait(10s), 0) << line->Log();
    EXPECT_TRUE(HeardMedia(*alice)) << alice->Log();
    EXPECT_TRUE(HeardMedia(*line)) << line->Log();

    // The line's number with a wrong password: its REGISTER and its INVITE are refused after the
    // challenge, and the phone never rings.
    auto intruder =
        Phone(pbx, "201", "guessed", {"--call", "sip:91234567@" + pbx.Address(), "--hangup-after", "5"});
    EXPECT_TRUE(intruder->WaitForOutput("released local/1 refused", 10s)) << intruder->Log() << pbx.Log();
    EXPECT_TRUE(pbx.WaitLogged("REGISTER of 201 from 127.0.0.1:")) << pbx.Log();
    EXPECT_TRUE(pbx.WaitLogged("INVITE of 201 from 127.0.0.1:")) << pbx.Log();
    EXPECT_EQ(pbx.Logged("refused: wrong credentials (-2)"), 2) << pbx.Log();
    intruder->Stop();

    // A subscriber's good digest does not let it call as the line.
    voip::SippProcess forger;
    ASSERT_TRUE(forger.MakeFolder());
    ASSERT_TRUE(forger.Start(
        {pbx.Address(), "-sf", voip::Scenario("sip_uac_other_user", {{"FROM_USER", "201"}}, forger.Folder()),
         "-s", "91234567", "-au", "1234567", "-ap", "alice-7", "-m", "1", "-timeout", "10"}))
        << forger.Log();
    EXPECT_EQ(forger.Wait(15s), 0) << forger.Log() << pbx.Log();
    EXPECT_EQ(pbx.Logged("refused: wrong credentials (-8)"), 1) << pbx.Log();

    // An outside number no phone has goes to the trunk, the prefix stripped; the hang-up follows.
    auto desk =
        Phone(pbx, "101", "desk-1", {"--call", "sip:95555555@" + pbx.Address(), "--hangup-after", "2"});
    EXPECT_TRUE(desk->WaitForOutput("established ", 10s)) << desk->Log() << pbx.Log();
    EXPECT_EQ(pbx.Logged("call from 101 to 5555555 through the trunk"), 1) << pbx.Log();
    EXPECT_EQ(trunk.Wait(15s), 0) << trunk.Log() << pbx.Log();
    EXPECT_TRUE(pbx.WaitLogged("hang-up by 101 in call")) << pbx.Log();
    EXPECT_EQ(desk->Wait(10s), 0) << desk->Log();

    // Numbers the exchange cannot reach: an extension nobody has, a subscriber who is not
    // registered, and an outside number without the prefix.
    struct Refusal
    {
        std::string dialled;
        std::string release; // how voipcall names the answer
        std::string logged;
    };
    for (const Refusal& r : {Refusal{"999", "unreachable", "INVITE from 101 to 999 refused: 404"},
                             Refusal{"102", "no answer", "INVITE from 101 to 102 refused: 480"},
                             Refusal{"1234567", "unreachable", "INVITE from 101 to 1234567 refused: 404"}}) {
        SCOPED_TRACE(r.dialled);
        auto caller = Phone(pbx, "101", "desk-1", {"--call", "sip:" + r.dialled + "@" + pbx.Address()});
        EXPECT_TRUE(caller->WaitForOutput("released local/1 " + r.release, 10s))
            << caller->Log() << pbx.Log();
        EXPECT_TRUE(pbx.WaitLogged(r.logged)) << pbx.Log();
        EXPECT_EQ(caller->Wait(10s), 0) << caller->Log();
    }
    // A restart, on the same port, forgets the registrations: the outside phone is not there until
    // it registers again.
    const int port = pbx.Port();
    EXPECT_EQ(pbx.Stop(), 0) << pbx.Log();
    ASSERT_TRUE(pbx.Start()) << pbx.Log();
    EXPECT_EQ(pbx.Port(), port);
    auto late = Phone(pbx, "101", "desk-1", {"--call", "sip:91234567@" + pbx.Address()});
    EXPECT_TRUE(late->WaitForOutput("released local/1 no answer", 10s)) << late->Log() << pbx.Log();
    EXPECT_TRUE(pbx.WaitLogged("INVITE from 101 to 1234567 refused: 480")) << pbx.Log();

    // Only the line's call ever reached the outside phone.
    const std::string heard = alice->Output();
    size_t calls = 0;
    for (size_t at = heard.find("established "); at != std::string::npos;
         at = heard.find("established ", at + 1))
        ++calls;
    EXPECT_EQ(calls, 1u) << alice->Log();
}

} // namespace
