// The callback road on an exchange that speaks nothing but SIP: a real Kamailio as the company's
// registrar and proxy, the service with its SIP-only PBX component, voipcall phones registered at
// Kamailio. The service follows its lines from its own legs, joins the subscriber with the destination
// itself and relays their audio, refuses what a line's class does not allow before anything leaves,
// and ends a joined call that runs past MaxTransferMinutes.
#include "tests/road/Phones.h"
#include "tests/road/Road.h"

#include <gtest/gtest.h>

using road::CallSeen;
using road::Child;
using road::Keys;
using road::Road;

namespace {

QString LineOf(const CallSeen& callback)
{
    return QRegularExpression(QStringLiteral("sip:(20[12])@")).match(callback.remote).captured(1);
}

} // namespace

TEST(AnyExchangeRoadTest, TheServiceFollowsItsLinesJoinsTheCallsItselfAndKeepsTheLinesClasses)
{
    if (!testsupport::KamailioPeer::Installed())
        GTEST_SKIP() << testsupport::KamailioPeer::kNotInstalled;
    Road road;
    ASSERT_TRUE(road.StartKamailio());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/MaxTransferMinutes"), QStringLiteral("0.4")}}));
    testsupport::KamailioPeer& pbx = *road.Kamailio();

    // The welcome and the hang-up, the row, the callback from a line through Kamailio.
    Child* carol = road.Phone(Road::kCarol);
    ASSERT_NE(carol, nullptr);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1, Keys({"1234#@4", "97654321#@10"}));
    ASSERT_NE(alice, nullptr);
    const CallSeen welcome = road::WaitEstablished(*alice, 20000);
    ASSERT_GE(welcome.line, 0) << "the line did not answer";
    ASSERT_GE(road::WaitReleased(*alice, welcome, 20000), 0) << "the service did not hang up after the welcome";
    EXPECT_GT(road::Received(*alice, welcome.call), 20) << "no announcement heard";
    auto rows = road.WaitForIncoming(1, 10000);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].callerId, QString(Road::kAlice));
    EXPECT_EQ(rows[0].result, 1);

    const CallSeen callback = road::WaitCallback(*alice, 40000);
    ASSERT_GE(callback.line, 0) << "the callback did not reach the subscriber";
    const QString line = LineOf(callback);
    ASSERT_FALSE(line.isEmpty()) << qPrintable(callback.remote);
    EXPECT_GE(pbx.Logged("call from " + line.toStdString() + " to 1234567 at"), 1) << pbx.Log();

    // PIN, destination, the join: the subscriber and the destination talk through the service's relay
    // once its own legs are cleared, and the line is idle again.
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got correct PIN from 1234567"), 20000), 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Making transfer.. Making call to 97654321 from=%1").arg(line), 20000),
              0);
    const CallSeen talk = road::WaitEstablished(*carol, 20000);
    ASSERT_GE(talk.line, 0) << "the destination was not called";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Line %1: joining legs").arg(line), 10000), 0);
    EXPECT_GE(road.WaitInServiceLog(
                  QStringLiteral("OnSIPCallConnected from NORCOM Cleared call sucessfull on linename=") + line, 10000),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnSIPCallDisconnected from NorCOM Cleared call sucessfull"), 10000),
              0);
    EXPECT_TRUE(road::AudioFlows(*alice, callback.call, 50)) << "the subscriber hears nothing";
    EXPECT_TRUE(road::AudioFlows(*carol, talk.call, 50)) << "the destination hears nothing";
    EXPECT_EQ(road::WaitReleased(*alice, callback, 0), -1) << "the callback ended with the service's legs";

    // The destination hangs up: the subscriber is released with it.
    EXPECT_TRUE(carol->Stop());
    EXPECT_GE(road::WaitReleased(*alice, callback, 10000), 0) << "the subscriber was left on a dead call";
    EXPECT_TRUE(alice->Stop());

    // A national destination is above the class a transfer leaves on the line: refused before any
    // INVITE leaves, and the subscriber is told.
    Child* bob = road.Caller(Road::kBob, Road::kLine1, Keys({"4321#@4", "984957654321#@10"}));
    ASSERT_NE(bob, nullptr);
    const CallSeen bobBack = road::WaitCallback(*bob, 60000);
    ASSERT_GE(bobBack.line, 0) << "no callback";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Transfer to 984957654321 failed on line"), 30000), 0);
    EXPECT_GE(road.CountInServiceLog(QStringLiteral("call to 984957654321 refused: national")), 1);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnEndDialog state=transfer_failed"), 20000), 0) << "not told";
    EXPECT_GE(road::WaitReleased(*bob, bobBack, 20000), 0);
    EXPECT_EQ(pbx.Logged("84957654321 dialled by"), 0) << "the refused call left";
    EXPECT_TRUE(bob->Stop());

    // A joined call that runs too long is ended, both parties released, and the end is logged.
    carol = road.Phone(Road::kCarol);
    ASSERT_NE(carol, nullptr);
    alice = road.Caller(Road::kAlice, Road::kLine1, Keys({"1234#@4", "97654321#@10"}));
    ASSERT_NE(alice, nullptr);
    const CallSeen again = road::WaitCallback(*alice, 60000);
    ASSERT_GE(again.line, 0);
    const CallSeen talkAgain = road::WaitEstablished(*carol, 40000);
    ASSERT_GE(talkAgain.line, 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("ended: MaxTransferMinutes reached"), 45000), 0);
    EXPECT_GE(road::WaitReleased(*alice, again, 10000), 0);
    EXPECT_GE(road::WaitReleased(*carol, talkAgain, 10000), 0);

    EXPECT_EQ(road.IncomingLog().size(), 3u);
    EXPECT_TRUE(road.StopService()) << "exit code " << road.Service().ExitCode();
}
