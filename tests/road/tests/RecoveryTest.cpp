// The road after a crash: the service killed (SIGKILL) in the middle of a callback. The exchange
// frees the dead callback's lines by itself, on the restarted service's registration or once the
// media has stopped for its timeout, and the next subscriber is called back.
#include "tests/road/Road.h"

#include <gtest/gtest.h>

using road::Child;
using road::Road;

namespace {

constexpr int kMediaTimeoutS = 10;

struct Callback
{
    int at = -1; // line of the exchange's output
    QString call;
    QString line;
};

// The exchange places the callback to `dialled` and the subscriber answers it.
Callback WaitCallbackAnswered(Road& road, const QString& dialled, int from)
{
    Callback c;
    QRegularExpressionMatch m;
    c.at = road.Exchange().WaitFor(QRegularExpression(QStringLiteral("call (\\d+) from (20[12]) to %1").arg(dialled)),
                                   60000, from, &m);
    if (c.at < 0)
        return c;
    c.call = m.captured(1);
    c.line = m.captured(2);
    if (road.Exchange().WaitFor(QRegularExpression(QStringLiteral("line %1 call %2 connected").arg(c.line, c.call)),
                                20000, c.at) < 0)
        c.at = -1;
    return c;
}

// The exchange reports the callback's line idle again within timeoutMs.
bool LineFreed(Road& road, const Callback& c, int timeoutMs)
{
    return road.Exchange().WaitFor(QRegularExpression(QStringLiteral("line %1 call %2 idle").arg(c.line, c.call)),
                                   timeoutMs, c.at) >= 0;
}

} // namespace

TEST(RoadRecoveryTest, ServiceKilledMidCallbackFreesItsLinesAndTheNextSubscriberIsCalledBack)
{
    Road road;
    ASSERT_TRUE(road.StartExchange(QStringLiteral("media_timeout = %1\n").arg(kMediaTimeoutS)));
    ASSERT_TRUE(road.StartService());

    // Alice is called back and listens to the PIN prompt when the service dies.
    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    const Callback first = WaitCallbackAnswered(road, QStringLiteral("91234567"), 0);
    ASSERT_GE(first.at, 0) << "Alice was not called back";
    ASSERT_TRUE(road.Service().Kill());

    // Started again at once: its lines register from a new contact and the exchange lets the dead
    // callback go, well within its media timeout; Alice's phone is released.
    const int aliceLines = alice->Lines().size();
    ASSERT_TRUE(road.StartService());
    EXPECT_TRUE(LineFreed(road, first, (kMediaTimeoutS + 5) * 1000)) << "line " << qPrintable(first.line) << " kept";
    EXPECT_GE(alice->WaitFor(QRegularExpression(QStringLiteral("^released ")), 5000, aliceLines), 0);

    // The next subscriber is called back by the restarted service.
    const int from = road.Exchange().Lines().size();
    Child* bob = road.Caller(Road::kBob, Road::kLine1);
    ASSERT_NE(bob, nullptr);
    const Callback second = WaitCallbackAnswered(road, QStringLiteral("984951234567"), from);
    ASSERT_GE(second.at, 0) << "Bob was not called back after the restart";

    // Killed again and left down: nothing registers anew, so the silence of its media frees the line.
    const int bobLines = bob->Lines().size();
    ASSERT_TRUE(road.Service().Kill());
    EXPECT_GE(road.Exchange().WaitFor(QRegularExpression(QStringLiteral("call %1: leg to %2 cleared: no media")
                                                             .arg(second.call, second.line)),
                                      (kMediaTimeoutS + 5) * 1000, second.at),
              0);
    EXPECT_TRUE(LineFreed(road, second, 5000)) << "line " << qPrintable(second.line) << " kept";
    EXPECT_GE(bob->WaitFor(QRegularExpression(QStringLiteral("^released ")), 5000, bobLines), 0);
}
