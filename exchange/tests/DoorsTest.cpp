// The exchange's SIP side against what a stranger on the network sends: calls under a borrowed
// extension, REFERs and SUBSCRIBEs outside any call; and legs whose peer is gone.
#include "exchange/tests/ExchangeHarness.h"

#include "voip/media/RtpRelay.h"
#include "exchange/SipSwitch.h"

#include <gtest/gtest.h>

#include <thread>

namespace exchange::test {
namespace {

using namespace std::chrono_literals;

class ExchangeDoorsTest : public ExchangeFixture
{
protected:
    std::string Target() const { return pbx->SipHost() + ":" + std::to_string(pbx->SipPort()); }

    // 20 callers of SIPp, many at once, each sending two REFERs and two SUBSCRIBEs on one Call-ID:
    // true when every one was refused with 405 and none drew a NOTIFY or anything else.
    static bool RefusesReferFlood(const std::string& target, std::string& log)
    {
        voip::SippProcess sipp;
        if (!sipp.Start({"-sf", voip::Scenario("refer_flood"), "-s", "201", target, "-m", "20", "-r", "50", "-l",
                         "20", "-timeout", "30s", "-timeout_error", "-recv_timeout", "5000"}))
            return false;
        int code = sipp.Wait(40s);
        log = sipp.Log();
        return code == 0;
    }
};

TEST_F(ExchangeDoorsTest, ACallerProvesTheExtensionItCallsFrom)
{
    Start();
    auto called = Register("101");
    auto caller = Register("102");

    // From says 102, the password is not 102's: challenged, then refused; nobody rings.
    voip::SippProcess forger;
    ASSERT_TRUE(forger.Start({"-sf", std::string(SELVANE_EXCHANGE_SIPP_DIR) + "/exchange_uac_forged.xml", "-s",
                              "101", Target(), "-au", "102", "-ap", "not-102", "-m", "1", "-timeout", "20s",
                              "-timeout_error"}));
    EXPECT_EQ(forger.Wait(30s), 0) << forger.Log();
    EXPECT_TRUE(called->Calls().empty());
    EXPECT_EQ(pbx->Sip().CallCount(), 0u);

    // The real 102 answers the challenge with its line's password and gets through.
    std::string token = caller->Dial("101");
    ASSERT_TRUE(caller->WaitEstablished(token));
    EXPECT_FALSE(called->WaitCall().empty());
    caller->Manager().ClearCall(token);
    EXPECT_TRUE(WaitFor([&] { return pbx->Sip().CallCount() == 0; }));
}

TEST_F(ExchangeDoorsTest, RefersAndSubscribesOutsideCallsLeaveBothStacksServing)
{
    Start();
    auto line = Register("201");
    auto phone = Register("102");
    int id = control.OpenLine("201");
    ASSERT_GT(id, 0);
    StatesUntil(id, kIdle);

    // The exchange, and a phone made of the stack the service runs on.
    std::string log;
    EXPECT_TRUE(RefusesReferFlood(Target(), log)) << log;
    EXPECT_TRUE(RefusesReferFlood("127.0.0.1:" + std::to_string(phone->Sip().GetListenerPort()), log)) << log;
    EXPECT_EQ(pbx->Sip().CallCount(), 0u);

    // Both still place and answer calls, and the line's states still come.
    std::string token = line->Dial("102");
    ASSERT_TRUE(line->WaitEstablished(token));
    EXPECT_FALSE(phone->WaitCall().empty());
    EXPECT_EQ(StatesUntil(id, kConnected).back(), kConnected);
    line->Manager().ClearCall(token);
    EXPECT_EQ(StatesUntil(id, kIdle).back(), kIdle);
}

TEST_F(ExchangeDoorsTest, LegsOfSilentOrRestartedPeersAreCleared)
{
    // Outside numbers nobody registered go to a SIPp trunk that answers and sends no media: its
    // answer names a port where nobody listens (SIPp would echo on its own).
    voip::SippProcess trunk;
    ASSERT_TRUE(trunk.MakeFolder());
    int trunkPort = testsupport::FreeUdpPort();
    std::string deaf = voip::Scenario(
        "sip_uas_answer", {{"m=audio [media_port]", "m=audio " + std::to_string(testsupport::FreeUdpPort(2, true))}},
        trunk.Folder());
    ASSERT_TRUE(trunk.Start({"-sf", deaf, "-p", std::to_string(trunkPort), "-m", "1", "-timeout", "30s",
                             "-timeout_error"}));
    ASSERT_TRUE(testsupport::WaitUntilBound(trunkPort));
    ExchangeConfig config = TestConfig();
    config.trunk = "127.0.0.1:" + std::to_string(trunkPort);
    config.mediaTimeoutSeconds = 2;
    Start(config);
    auto service = Register("201");
    auto desk = Register("102");
    int id = control.OpenLine("201");
    ASSERT_GT(id, 0);
    StatesUntil(id, kIdle);

    // Both ends of a live call send media: it outlasts the timeout.
    std::string token = service->Dial("102");
    ASSERT_TRUE(service->WaitEstablished(token));
    ASSERT_FALSE(desk->WaitCall().empty());
    std::this_thread::sleep_for(4s);
    EXPECT_TRUE(service->Manager().IsCallEstablished(token));
    EXPECT_EQ(pbx->Sip().CallCount(), 1u);

    // The line's user agent starts again elsewhere and registers: the old legs go at once, the far
    // party is released and the line is idle, though the old contact never said goodbye.
    control.TakeStates(id);
    auto restarted = Register("201");
    EXPECT_TRUE(WaitFor([&] { return desk->Calls().empty(); }));
    EXPECT_EQ(StatesUntil(id, kIdle).back(), kIdle);
    EXPECT_EQ(pbx->Sip().CallCount(), 0u);
    service.reset();

    // A far party that answers and then sends nothing: cleared after the timeout, both legs.
    std::string silent = restarted->Dial("91234567");
    ASSERT_TRUE(restarted->WaitEstablished(silent));
    EXPECT_TRUE(restarted->WaitGone(silent, 10s));
    EXPECT_EQ(StatesUntil(id, kIdle).back(), kIdle);
    EXPECT_EQ(trunk.Wait(20s), 0) << trunk.Log(); // it got its BYE
    EXPECT_TRUE(WaitFor([&] { return pbx->Sip().CallCount() == 0 && pbx->Relay().PortCount() == 0; }));
}

} // namespace
} // namespace exchange::test
