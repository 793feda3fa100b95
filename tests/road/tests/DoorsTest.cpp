// The road against a stranger on the same network: REFERs and SUBSCRIBEs outside any call at the
// exchange and at the service, and a flood of the exchange's control server while a subscriber
// calls in and is called back.
#include "tests/road/Road.h"
#include "tests/support/ControlFlood.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"

#include <gtest/gtest.h>

#include <thread>

using road::Child;
using road::Road;

TEST(RoadDoorsTest, FloodsAtTheExchangeAndTheServiceLeaveCallbacksWorking)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    const int servicePort = testsupport::FreeUdpPort();
    ASSERT_TRUE(road.StartService({{QStringLiteral("SIP/ListenAddress"), QStringLiteral("127.0.0.1:%1").arg(servicePort)}}));

    // Every REFER and SUBSCRIBE refused (405), none drawing a NOTIFY; both programs still up.
    for (const QString& target : {road.ExchangeSip(), QStringLiteral("127.0.0.1:%1").arg(servicePort)}) {
        voip::SippProcess sipp;
        ASSERT_TRUE(sipp.Start({"-sf", voip::Scenario("refer_flood"), "-s", "201", target.toStdString(), "-m", "20",
                                "-r", "50", "-l", "20", "-timeout", "30s", "-timeout_error", "-recv_timeout", "5000"}));
        EXPECT_EQ(sipp.Wait(std::chrono::seconds(40)), 0) << qPrintable(target) << "\n" << sipp.Log();
    }
    ASSERT_TRUE(road.Exchange().Running());
    ASSERT_TRUE(road.Service().Running());

    // The control server: a client that never reads, a silent crowd, a burst of wrong passwords,
    // all while a subscriber calls in. The service's component stays logged in through it.
    const int controlPort = road.ControlPort();
    std::thread flood([controlPort] {
        testsupport::GreedyResult greedy = testsupport::FloodWithoutReading(controlPort, "selvane", "selvane", 8u << 20);
        EXPECT_TRUE(greedy.loggedIn);
        EXPECT_EQ(testsupport::SilentCrowd(controlPort, 40, std::chrono::seconds(20)), 40);
        testsupport::GuessResult guesses = testsupport::GuessPasswords(controlPort, "selvane", 100);
        EXPECT_TRUE(guesses.dropped);
        EXPECT_LE(guesses.answers, 6);
    });
    const int exchangeFrom = road.Exchange().Lines().size();
    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    QRegularExpressionMatch placed;
    const int callback = road.Exchange().WaitFor(
        QRegularExpression(QStringLiteral("call (\\d+) from (20[12]) to 91234567")), 60000, exchangeFrom, &placed);
    flood.join();
    ASSERT_GE(callback, 0) << "no callback placed";
    EXPECT_GE(road.Exchange().WaitFor(QRegularExpression(QStringLiteral("line %1 call %2 connected")
                                                             .arg(placed.captured(2), placed.captured(1))),
                                      20000, callback),
              0)
        << "the callback was not answered";
    // Her own call first, then the callback.
    const int first = alice->WaitFor(QRegularExpression(QStringLiteral("^established ")), 1000);
    EXPECT_GE(alice->WaitFor(QRegularExpression(QStringLiteral("^established ")), 10000, first + 1), 0);
    EXPECT_TRUE(road.Exchange().Running());
    EXPECT_TRUE(road.StopService()) << "exit code " << road.Service().ExitCode();
}
