// The callback road walked by real programs: Firebird, pbx-exchange, "Selvane -e" and voipcall phones,
// all on 127.0.0.1 with ports picked at run time. Each test follows what a user would see: the phones'
// calls, keys and audio, the INCOMINGLOG rows, the exchange's line states and the service's log.
#include "tests/road/Phones.h"
#include "tests/road/Road.h"
#include "tests/road/TcpRelay.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QThread>

using road::CallSeen;
using road::Child;
using road::Road;
using road::AudioFlows;
using road::Keys;
using road::Received;
using road::WaitCallback;
using road::WaitEstablished;
using road::WaitReleased;

namespace {

QRegularExpression Re(const QString& pattern)
{
    return QRegularExpression(pattern);
}

} // namespace

// A subscriber calls a line, hears the welcome and is hung up; the service logs and queues the
// number, calls back from a free line's number, takes the PIN and an allowed destination and joins
// the subscriber with the destination's phone; the service's legs go, the two talk (audio both
// ways through the exchange), and the line is idle again. Then the service stops cleanly.
TEST(RoadTest, SubscriberIsCalledBackAndTalksToTheDestination)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService());

    Child* carol = road.Phone(Road::kCarol);
    ASSERT_NE(carol, nullptr);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1,
                               {QStringLiteral("--answer-keys"), QStringLiteral("1234#@4"),
                                QStringLiteral("--answer-keys"), QStringLiteral("97654321#@10")});
    ASSERT_NE(alice, nullptr);

    // The welcome: answered by the line, some audio, then the service hangs up.
    const CallSeen welcome = WaitEstablished(*alice, 20000);
    ASSERT_GE(welcome.line, 0) << "the line did not answer";
    const int hungUp = WaitReleased(*alice, welcome, 20000);
    ASSERT_GE(hungUp, 0) << "the service did not hang up after the welcome";
    EXPECT_GT(Received(*alice, welcome.call), 20) << "no announcement heard";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("going to PlayOGMIncommingSuccess"), 1000), 0);

    auto rows = road.WaitForIncoming(1, 10000);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].callerId, QString(Road::kAlice));
    EXPECT_EQ(rows[0].result, 1);
    EXPECT_GT(rows[0].uid, 0);

    // The callback, from the number of the line that places it.
    QRegularExpressionMatch placed;
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from (20[12]) to 91234567")), 40000, 0, &placed),
              0)
        << "no callback placed";
    const QString line = placed.captured(1);
    const CallSeen callback = WaitCallback(*alice, 40000);
    ASSERT_GE(callback.line, 0) << "the callback did not reach the subscriber";
    EXPECT_TRUE(callback.remote.contains(QStringLiteral("sip:%1@").arg(line))) << qPrintable(callback.remote);
    EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("line %1 call \\d+ connected").arg(line)), 10000), 0);

    // PIN, destination, transfer.
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got correct PIN from 1234567"), 20000), 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("number=97654321 trying to transfer"), 20000), 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Making transfer.. Making call to 97654321 from=%1").arg(line), 10000),
              0);
    const CallSeen talk = WaitEstablished(*carol, 20000);
    ASSERT_GE(talk.line, 0) << "the destination was not called";
    EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("line %1: call \\d+ joined with call").arg(line)), 10000), 0);

    // The service's legs go: the transfer call when connected, the callback once the line is idle.
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnSIPCallConnected from NORCOM Cleared call sucessfull on linename=") + line,
                                    10000),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnSIPCallDisconnected from NorCOM Cleared call sucessfull"), 10000), 0);
    EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("line %1 call \\d+ idle").arg(line)), 10000), 0);

    // Now only the two phones feed the relay: what each receives comes from the other.
    EXPECT_TRUE(AudioFlows(*alice, callback.call, 50)) << "the subscriber hears nothing";
    EXPECT_TRUE(AudioFlows(*carol, talk.call, 50)) << "the destination hears nothing";

    // The subscriber hangs up; the destination is released with it.
    const int carolLines = carol->Lines().size();
    EXPECT_TRUE(alice->Stop());
    EXPECT_GE(carol->WaitFor(Re(QStringLiteral("^released ")), 10000, carolLines), 0);

    EXPECT_EQ(road.IncomingLog().size(), 1u);
    EXPECT_TRUE(road.StopService()) << "exit code " << road.Service().ExitCode();
}

namespace {

// Waits until the queue timer (every 7 s from the service's start) is phaseMs past a tick, so that a
// step which must not meet a tick can be put where none comes.
void WaitForTimerPhase(Road& road, int phaseMs)
{
    QRegularExpressionMatch m;
    if (road::WaitForLine(road.ServiceLog(), Re(QStringLiteral("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3});.*Service started")),
                          1000, 0, &m) < 0)
        return;
    const QDateTime started = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    const qint64 since = started.msecsTo(QDateTime::currentDateTime());
    QThread::msleep(static_cast<unsigned long>(((phaseMs - since) % 7000 + 7000) % 7000));
}

// Lines of the exchange's output that match, counted.
int ExchangeCount(Road& road, const QString& pattern)
{
    return road.Exchange().Count(Re(pattern));
}

// When the service logged the first line that matches, waiting; invalid when it does not come.
QDateTime ServiceLogTime(Road& road, const QString& pattern, int timeoutMs)
{
    QRegularExpressionMatch m;
    const QString stamped = QStringLiteral("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3});.*") + pattern;
    if (road::WaitForLine(road.ServiceLog(), Re(stamped), timeoutMs, 0, &m) < 0)
        return {};
    return QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

} // namespace

// At the door: a caller who is no subscriber hears the refusal and is never called back; of two
// subscribers calling 0.2 s apart with room for one in the queue, one is queued and the other hears
// that the queue is full. The queued one then keys a wrong PIN, lets the second prompt time out, and is hung
// up. Later a subscriber who asks for a blacklisted number is refused and hung up, and one who hangs up
// during the PIN prompt is not called again.
TEST(RoadTest, CallersAreTurnedAwayAndWrongAnswersEndTheCallback)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/MaxNumbersInQueue"), QStringLiteral("1")},
                                   {QStringLiteral("CallBack/EnterPinMaxTries"), QStringLiteral("2")},
                                   {QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("4")}}));

    Child* carol = road.Caller(Road::kCarol, Road::kLine1);
    ASSERT_NE(carol, nullptr);
    const CallSeen refused = WaitEstablished(*carol, 20000);
    ASSERT_GE(refused.line, 0);
    EXPECT_GE(WaitReleased(*carol, refused, 20000), 0) << "not hung up";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnIncommingCall from wrong CALLERID=7654321"), 5000), 0);
    auto rows = road.WaitForIncoming(1, 10000);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].result, 0);
    EXPECT_EQ(rows[0].uid, -1);

    // Bob calls 0.2 s after Alice, well before the timer takes her out of the queue's one place.
    const QStringList wrongPin = Keys({"0000#@3"});
    WaitForTimerPhase(road, 500);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1, wrongPin);
    ASSERT_NE(alice, nullptr);
    QThread::msleep(200);
    Child* bob = road.Caller(Road::kBob, Road::kLine2, wrongPin);
    ASSERT_NE(bob, nullptr);
    rows = road.WaitForIncoming(3, 20000);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].callerId, QString(Road::kAlice));
    EXPECT_EQ(rows[1].result, 1);
    EXPECT_EQ(rows[2].callerId, QString(Road::kBob));
    EXPECT_EQ(rows[2].result, 2) << "the queue's one place was taken";
    EXPECT_GT(rows[2].uid, 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("queue  full,going to PlayOGMIncommingQueueFull"), 5000), 0);
    Child* queued = alice;
    Child* turnedAway = bob;
    const QString queuedNumber = QString(Road::kAlice);

    // The queued one is called back, keys a wrong PIN, then says nothing: hung up after two tries.
    const int welcomeEnd = queued->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(welcomeEnd, 0);
    const CallSeen callback = WaitCallback(*queued, 40000);
    ASSERT_GE(callback.line, 0) << "no callback";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got wrong PIN=**** from %1, asking to enter PIN again").arg(queuedNumber),
                                    15000),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got wrong PIN= from %1, disconnecting").arg(queuedNumber), 20000), 0)
        << "the unanswered second prompt does not count as a try";
    EXPECT_GE(WaitReleased(*queued, callback, 15000), 0) << "not hung up";
    EXPECT_EQ(road.CountInServiceLog(QStringLiteral("Got correct PIN")), 0);

    // A blacklisted destination: refused, hung up, never dialled.
    EXPECT_TRUE(alice->Stop());
    EXPECT_TRUE(bob->Stop());
    EXPECT_TRUE(carol->Stop());
    alice = road.Caller(Road::kAlice, Road::kLine1, Keys({"1234#@3", "988001234567#@9"}));
    ASSERT_NE(alice, nullptr);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("TRANSFER DENIED calleid=1234567 number=988001234567"), 60000), 0);
    const int denied = alice->WaitFor(Re(QStringLiteral("^keys \\S+ 988001234567#")), 1000);
    ASSERT_GE(denied, 0);
    EXPECT_GE(alice->WaitFor(Re(QStringLiteral("^released ")), 20000, denied), 0) << "not hung up after the refusal";
    EXPECT_EQ(ExchangeCount(road, QStringLiteral("to 988001234567")), 0);

    // Bob hangs up while the PIN prompt plays: the callback ends there, and he is not called again.
    bob = road.Caller(Road::kBob, Road::kLine2);
    ASSERT_NE(bob, nullptr);
    const int bobWelcome = bob->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(bobWelcome, 0);
    const CallSeen bobBack = WaitCallback(*bob, 40000);
    ASSERT_GE(bobBack.line, 0);
    EXPECT_TRUE(bob->Stop());
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnCallBackEnded number=984951234567"), 10000), 0);
    // Another full turn of the queue: Alice calls and is called back, Bob's number is not dialled again.
    EXPECT_TRUE(alice->Stop());
    const int bobDialled = ExchangeCount(road, QStringLiteral("to 984951234567"));
    alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    const int aliceWelcome = alice->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(aliceWelcome, 0);
    EXPECT_GE(WaitCallback(*alice, 40000).line, 0);
    EXPECT_EQ(ExchangeCount(road, QStringLiteral("to 984951234567")), bobDialled);
    EXPECT_EQ(turnedAway->Count(Re(QStringLiteral("^established "))), 1) << "the refused caller was called back";

    EXPECT_TRUE(road.StopService());
}

// A destination that is busy, that rings while the line takes a caller, or that never answers: the
// subscriber hears that the number could not be reached and is hung up, one who hangs up first
// cancels the ringing transfer, and the line comes back free with its class of service, so the next
// callback on it (a national number, above the class a transfer leaves on the line) is placed and
// counted as answered.
TEST(RoadTest, WhenTheDestinationFailsTheSubscriberIsToldAndTheLineComesBack)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService());
    const QStringList pinAndDesk = Keys({"1234#@3", "102#@9"});   // Alice's PIN, then the desk
    const QStringList bobPinAndDesk = Keys({"4321#@3", "102#@9"});

    // Busy.
    Child* desk = road.Phone(Road::kDesk, {QStringLiteral("--busy")});
    ASSERT_NE(desk, nullptr);
    // The subscribers call line 202, so every callback goes out on 201, the first line free whether or
    // not their own call is still on 202: the line the failed transfer used is the next callback's.
    Child* alice = road.Caller(Road::kAlice, Road::kLine2, pinAndDesk);
    ASSERT_NE(alice, nullptr);
    const CallSeen aliceBack = WaitCallback(*alice, 60000);
    ASSERT_GE(aliceBack.line, 0) << "no callback";
    QRegularExpressionMatch failed;
    ASSERT_GE(road::WaitForLine(road.ServiceLog(), Re(QStringLiteral("Transfer to 102 failed on line (20[12]): busy \\(SIP 486\\)")),
                                40000, 0, &failed),
              0);
    const QString line = failed.captured(1);
    EXPECT_EQ(line, QString(Road::kLine1));
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnEndDialog state=transfer_failed"), 20000), 0) << "not told";
    EXPECT_GE(WaitReleased(*alice, aliceBack, 20000), 0) << "the subscriber was left in silence";
    EXPECT_TRUE(alice->Stop());
    EXPECT_TRUE(desk->Stop());

    // The line's class of service is back: a national subscriber is called back from it. His
    // transfer rings at a desk that does not answer while a caller reaches the same line; he hangs up.
    desk = road.Phone(Road::kDesk, {QStringLiteral("--no-answer")});
    ASSERT_NE(desk, nullptr);
    const int bobFrom = road.Exchange().Lines().size();
    Child* bob = road.Caller(Road::kBob, Road::kLine2, bobPinAndDesk);
    ASSERT_NE(bob, nullptr);
    QRegularExpressionMatch placed;
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from (20[12]) to 984951234567")), 40000, 0, &placed), 0);
    EXPECT_EQ(placed.captured(1), line) << "the callback went out on the other line";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Callback succeffull to number 84951234567"), 20000), 0)
        << "not answered, or not counted as answered";
    EXPECT_EQ(road.CountInServiceLog(QStringLiteral("refused: SIP 403")), 0);
    EXPECT_EQ(road.CountInServiceLog(QStringLiteral("Trying to clear transfered call")), 0)
        << "the failed transfer was left in the line's maps";
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("from %1 to 102 ").arg(line)), 30000, bobFrom), 0) << "no transfer";
    Child* carol = road.Caller(Road::kCarol, line);
    ASSERT_NE(carol, nullptr);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("the transfer still rings, left alone on linename=") + line, 15000), 0)
        << "a caller's connected event was taken for the transfer's answer";
    EXPECT_TRUE(bob->Stop());
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("cancelled: the subscriber hung up"), 10000), 0);
    EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("line %1 call \\d+ idle").arg(line)), 20000), 0);
    EXPECT_TRUE(carol->Stop());

    // Never answered: given up after 30 s, told, hung up.
    alice = road.Caller(Road::kAlice, Road::kLine2, pinAndDesk);
    ASSERT_NE(alice, nullptr);
    const CallSeen again = WaitCallback(*alice, 60000);
    ASSERT_GE(again.line, 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Transfer to 102 failed on line %1: no answer").arg(line), 60000), 0);
    EXPECT_GE(WaitReleased(*alice, again, 20000), 0) << "the subscriber was left in silence";
    EXPECT_TRUE(road.StopService());
}

// With CallBacksPerTick=0 one tick takes as many numbers as lines are free: two subscribers queued
// together are called back at once, each from a line of its own.
TEST(RoadTest, OneTickCallsBackOnEveryFreeLine)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/CallBacksPerTick"), QStringLiteral("0")}}));
    WaitForTimerPhase(road, 500);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    Child* bob = road.Caller(Road::kBob, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(road.WaitForIncoming(2, 20000).size(), 2u);

    const QDateTime first = ServiceLogTime(road, QStringLiteral("Callback dequeued number 1234567"), 20000);
    const QDateTime second = ServiceLogTime(road, QStringLiteral("Callback dequeued number 84951234567"), 20000);
    ASSERT_TRUE(first.isValid() && second.isValid());
    EXPECT_LT(std::abs(first.msecsTo(second)), 3500) << "not in one tick (ticks are 7 s apart)";
    QRegularExpressionMatch toAlice, toBob;
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from (20[12]) to 91234567")), 20000, 0, &toAlice), 0);
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from (20[12]) to 984951234567")), 20000, 0, &toBob), 0);
    EXPECT_NE(toAlice.captured(1), toBob.captured(1)) << "two callbacks on one line";
    EXPECT_GE(WaitCallback(*alice, 20000).line, 0);
    EXPECT_GE(WaitCallback(*bob, 20000).line, 0);
    EXPECT_TRUE(road.StopService());
}

// A subscriber whose phone is gone by the time of the callback is tried MaxCallBackTries times and
// then dropped, while the queue goes on serving the others.
TEST(RoadTest, AnUnreachableSubscriberIsTriedMaxCallBackTriesTimesThenDropped)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/MaxCallBackTries"), QStringLiteral("2")}}));

    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    ASSERT_GE(alice->WaitFor(Re(QStringLiteral("^released ")), 20000), 0);
    EXPECT_TRUE(alice->Stop()); // unregisters: the exchange refuses calls to her from now on

    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Exceeded number of callback tryes 2 to number 1234567"), 90000), 0);
    const QString toAlice = QStringLiteral("from 20[12] to 91234567");
    EXPECT_EQ(ExchangeCount(road, toAlice), 2);
    EXPECT_EQ(road.CountInServiceLog(QStringLiteral("Failed to make callback to number 1234567")), 2);

    // The queue moves on: Bob is called back, and Alice is not dialled again meanwhile.
    Child* bob = road.Caller(Road::kBob, Road::kLine2);
    ASSERT_NE(bob, nullptr);
    const int welcome = bob->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(welcome, 0);
    EXPECT_GE(WaitCallback(*bob, 40000).line, 0);
    EXPECT_EQ(ExchangeCount(road, toAlice), 2);
    EXPECT_TRUE(road.StopService());
}

// With both lines held by callbacks waiting for PINs, a third subscriber's call is still answered
// and queued; the service says it has no free lines, and calls the third back once a line frees.
TEST(RoadTest, WithAllLinesBusyTheNumberWaitsForAFreeLine)
{
    Road road;
    ASSERT_TRUE(road.AddSubscriber({Road::kDesk, QStringLiteral("1020"), 3, QStringLiteral("Desk")}));
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("30")}}));

    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    Child* bob = road.Caller(Road::kBob, Road::kLine2);
    ASSERT_NE(alice, nullptr);
    ASSERT_NE(bob, nullptr);
    const int aliceWelcome = alice->WaitFor(Re(QStringLiteral("^released ")), 20000);
    const int bobWelcome = bob->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(aliceWelcome, 0);
    ASSERT_GE(bobWelcome, 0);
    ASSERT_GE(WaitCallback(*alice, 40000).line, 0);
    ASSERT_GE(WaitCallback(*bob, 40000).line, 0);

    // Both lines hold a callback; the desk phone calls in.
    const int busyFrom = road::ReadLines(road.ServiceLog()).size();
    Child* desk = road.Caller(Road::kDesk, Road::kLine1);
    ASSERT_NE(desk, nullptr);
    const int deskWelcome = desk->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(deskWelcome, 0);
    auto rows = road.WaitForIncoming(3, 10000);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].callerId, QString(Road::kDesk));
    EXPECT_EQ(rows[2].result, 1);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("CheckCallBackQueue no free lines"), 20000, busyFrom), 0);
    EXPECT_EQ(ExchangeCount(road, QStringLiteral("from 20[12] to 102 ")), 0) << "called back with no line free";

    // Alice hangs up: her line frees and the desk is called back on it.
    EXPECT_TRUE(alice->Stop());
    EXPECT_GE(WaitCallback(*desk, 40000).line, 0) << "not called back once a line freed";
    EXPECT_EQ(ExchangeCount(road, QStringLiteral("from 20[12] to 102 ")), 1);
    EXPECT_TRUE(road.StopService());
}

// The database server goes away and comes back while the service runs: calls keep being answered
// (refused, since no subscriber can be found) and logging resumes once the server is back. Then the
// service is stopped with a callback up: the call is hung up, the line freed, the exit code 0.
TEST(RoadTest, CallsAreAnsweredThroughADatabaseOutageAndAStopHangsUpCleanly)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService({{QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("30")}}));

    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    const int aliceWelcome = alice->WaitFor(Re(QStringLiteral("^released ")), 20000);
    ASSERT_GE(aliceWelcome, 0);
    ASSERT_EQ(road.WaitForIncoming(1, 10000).size(), 1u);

    road.Database().stop();
    const int outageFrom = road::ReadLines(road.ServiceLog()).size();
    Child* bob = road.Caller(Road::kBob, Road::kLine2);
    ASSERT_NE(bob, nullptr);
    const CallSeen answered = WaitEstablished(*bob, 20000);
    ASSERT_GE(answered.line, 0) << "not answered while the database is away";
    EXPECT_GE(WaitReleased(*bob, answered, 20000), 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Databse is not opened"), 10000, outageFrom), 0);

    road.Database().start();
    Child* carol = road.Caller(Road::kCarol, Road::kLine2);
    ASSERT_NE(carol, nullptr);
    auto rows = road.WaitForIncoming(2, 30000);
    ASSERT_GE(rows.size(), 2u) << "logging did not resume";
    EXPECT_EQ(rows.back().callerId, QString(Road::kCarol));
    EXPECT_EQ(rows.back().result, 0);

    // Stop while Alice's callback waits for her PIN.
    const CallSeen callback = WaitCallback(*alice, 40000);
    ASSERT_GE(callback.line, 0);
    QRegularExpressionMatch placed;
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from (20[12]) to 91234567")), 1000, 0, &placed), 0);
    const int exchangeFrom = road.Exchange().Lines().size();
    EXPECT_TRUE(road.StopService()) << "exit code " << road.Service().ExitCode();
    EXPECT_GE(WaitReleased(*alice, callback, 5000), 0) << "the call was left up";
    EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("line %1 call \\d+ idle").arg(placed.captured(1))), 5000,
                                      exchangeFrom),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("NorvelService::~NorvelService telephony stopped"), 1000), 0);
}

// Under the service manager: pause and continue while a callback is up. The call is not touched
// (pause only closes the database), and the subscriber goes on to the PIN and the destination.
TEST(RoadTest, PauseAndContinueLeaveACallbackUp)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartManagedService({{QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("20")}}));
    Child* desk = road.Phone(Road::kDesk);
    ASSERT_NE(desk, nullptr);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1, Keys({"1234#@8", "102#@14"}));
    ASSERT_NE(alice, nullptr);
    const CallSeen callback = WaitCallback(*alice, 60000);
    ASSERT_GE(callback.line, 0);

    const int before = road::ReadLines(road.ServiceLog()).size();
    EXPECT_TRUE(road.Control(QStringLiteral("-p")));
    EXPECT_TRUE(road.Control(QStringLiteral("-r")));
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Connected to database"), 10000, before), 0) << "not reopened";
    EXPECT_LT(WaitReleased(*alice, callback, 0), 0) << "the callback did not survive pause and continue";

    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got correct PIN from 1234567"), 20000), 0);
    EXPECT_GE(WaitEstablished(*desk, 30000).line, 0) << "not transferred after continue";
    EXPECT_TRUE(road.StopService());
}

// The control connection to the exchange drops while a number waits in the queue: the service
// reconnects, opens its lines again, and the callback goes through, its line events included.
TEST(RoadTest, AfterTheControlConnectionDropsTheLinesComeBackAndNoCallbackIsLost)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    road::TcpRelay relay(road.ControlPort());
    ASSERT_GT(relay.Port(), 0);
    road.SetControlServer(QStringLiteral("127.0.0.1:%1").arg(relay.Port()));
    ASSERT_TRUE(road.StartService());
    ASSERT_EQ(road.CountInServiceLog(QStringLiteral("NorCom: logged in to the control server")), 1);

    Child* desk = road.Phone(Road::kDesk);
    ASSERT_NE(desk, nullptr);
    WaitForTimerPhase(road, 500);
    Child* alice = road.Caller(Road::kAlice, Road::kLine1, Keys({"1234#@4", "102#@10"}));
    ASSERT_NE(alice, nullptr);
    ASSERT_GE(road.WaitInServiceLog(QStringLiteral("going to put call in queue with callerid=1234567"), 10000), 0);

    const int opened = ExchangeCount(road, QStringLiteral("control: openLine"));
    relay.Cut();
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("reconnecting"), 10000), 0);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return road.CountInServiceLog(QStringLiteral("NorCom: logged in to the control server")) == 2; },
        std::chrono::seconds(20), std::chrono::milliseconds(100)))
        << "not back";
    EXPECT_GE(relay.Accepted(), 2);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return ExchangeCount(road, QStringLiteral("control: openLine")) == opened + 2; },
        std::chrono::seconds(20), std::chrono::milliseconds(100)))
        << "lines not opened again";

    // The PIN prompt only plays on the exchange's "connected" event: the lines' events are back.
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got correct PIN from 1234567"), 60000), 0);
    EXPECT_GE(WaitEstablished(*desk, 30000).line, 0) << "not transferred";
    EXPECT_TRUE(road.StopService());
}
