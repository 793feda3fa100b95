// PIN guessing across callbacks, walked by the real programs: a subscriber's callback sessions that end
// without the right PIN are counted in the database, and enough of them lock the caller ID out.
#include "tests/road/Road.h"
#include "tests/support/SystemLogReceiver.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QThread>

using road::Child;
using road::Road;

namespace {

QRegularExpression Re(const QString& pattern)
{
    return QRegularExpression(pattern);
}

QStringList AnswerKeys(const char* keys)
{
    return {QStringLiteral("--answer-keys"), QLatin1String(keys)};
}

// Alice calls line 201 and hears the welcome; the service calls her back and her phone answers with
// keys. The line of the callback's "established" report in her phone's output, or -1.
int CalledBack(Road& road, Child*& phone, const QStringList& keys)
{
    phone = road.Caller(Road::kAlice, Road::kLine1, keys);
    if (!phone)
        return -1;
    const int welcome = phone->WaitFor(Re(QStringLiteral("^established ")), 20000);
    if (welcome < 0 || phone->WaitFor(Re(QStringLiteral("^released ")), 20000, welcome) < 0)
        return -1;
    return phone->WaitFor(Re(QStringLiteral("^established ")), 40000, welcome + 1);
}

// The callback leg the phone reported at line `established` has been released.
bool HungUp(Child& phone, int established, int timeoutMs = 20000)
{
    return phone.WaitFor(Re(QStringLiteral("^released ")), timeoutMs, established) >= 0;
}

int ServiceLogSize(Road& road)
{
    return road::ReadLines(road.ServiceLog()).size();
}

int CountSince(Road& road, const QString& text, int from)
{
    const QStringList lines = road::ReadLines(road.ServiceLog());
    int count = 0;
    for (int i = from; i < lines.size(); ++i)
        count += lines[i].contains(text);
    return count;
}

const QString kFailed = QStringLiteral("PIN lockout: callback to 1234567 ended without the right PIN, failed sessions ");

} // namespace

// With two failed sessions within an hour locking the caller out: a wrong PIN counts, a prompt left
// unanswered does not, the right PIN clears the count; then two wrong ones in a row lock Alice out: the
// alert reaches the system log once, her number queued meanwhile is dropped, and after a restart of the
// service her call hears that the queue is full, is logged with result 3 and is not called back.
TEST(LockoutTest, RepeatedWrongPinsLockTheCallerOutAcrossARestart)
{
    Road road;
    testsupport::SystemLogReceiver systemLog(road.SystemLogSocket().toStdString());
    ASSERT_TRUE(systemLog.Bound());
    ASSERT_TRUE(road.StartExchange());
    const QMap<QString, QString> settings{{QStringLiteral("CallBack/EnterPinMaxTries"), QStringLiteral("1")},
                                          {QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("3")},
                                          {QStringLiteral("CallBack/PinLockoutFailures"), QStringLiteral("2")},
                                          {QStringLiteral("CallBack/PinLockoutWindow"), QStringLiteral("60")},
                                          {QStringLiteral("CallBack/PinLockoutMinutes"), QStringLiteral("60")}};
    ASSERT_TRUE(road.StartService(settings));
    const QString lockRow = QStringLiteral("SELECT FAILURES FROM PINLOCKOUTS WHERE CALLERID = '1234567'");

    // A wrong PIN: the session counts once.
    Child* alice = nullptr;
    int mark = ServiceLogSize(road);
    int back = CalledBack(road, alice, AnswerKeys("0000#@3"));
    ASSERT_GE(back, 0) << "no callback";
    EXPECT_TRUE(HungUp(*alice, back));
    EXPECT_GE(road.WaitInServiceLog(kFailed + QStringLiteral("1"), 10000, mark), 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("PIN lockout on: 2 failed sessions within 60 minutes"), 0), 0);
    EXPECT_EQ(road.Column(lockRow), QStringList{QStringLiteral("1")});
    EXPECT_TRUE(alice->Stop());

    // Silence until the prompt times out, as an answering machine would: hung up, nothing counted.
    mark = ServiceLogSize(road);
    back = CalledBack(road, alice, {});
    ASSERT_GE(back, 0) << "no callback";
    EXPECT_TRUE(HungUp(*alice, back, 40000));
    EXPECT_EQ(CountSince(road, QStringLiteral("PIN lockout: callback to"), mark), 0);
    EXPECT_EQ(road.Column(lockRow), QStringList{QStringLiteral("1")});
    EXPECT_TRUE(alice->Stop());

    // The right PIN clears the count.
    back = CalledBack(road, alice, AnswerKeys("1234#@3"));
    ASSERT_GE(back, 0) << "no callback";
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got correct PIN from 1234567"), 15000), 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return road.Column(lockRow).isEmpty(); }, std::chrono::seconds(5)))
        << "the failed session still counts after the right PIN";
    EXPECT_TRUE(alice->Stop());

    // A wrong PIN again: the first of a new count, no lock.
    mark = ServiceLogSize(road);
    back = CalledBack(road, alice, AnswerKeys("0000#@3"));
    ASSERT_GE(back, 0) << "no callback";
    EXPECT_GE(road.WaitInServiceLog(kFailed + QStringLiteral("1"), 15000, mark), 0);
    EXPECT_TRUE(HungUp(*alice, back));
    EXPECT_EQ(systemLog.Entries().size(), 0u);
    EXPECT_TRUE(alice->Stop());

    // The second in a row, keyed late: meanwhile Alice calls again from another phone and is queued, and
    // waits there, since Bob's callback, left at the destination prompt, holds the other line.
    Child* bob = road.Caller(Road::kBob, Road::kLine2, AnswerKeys("4321#@2"));
    ASSERT_NE(bob, nullptr);
    const int bobWelcome = bob->WaitFor(Re(QStringLiteral("^established ")), 20000);
    ASSERT_GE(bob->WaitFor(Re(QStringLiteral("^established ")), 40000, bobWelcome + 1), 0) << "Bob not called back";
    mark = ServiceLogSize(road);
    back = CalledBack(road, alice, AnswerKeys("0000#@7"));
    ASSERT_GE(back, 0) << "no callback";
    const size_t logged = road.IncomingLog().size();
    Child* again = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(again, nullptr);
    auto rows = road.WaitForIncoming(logged + 1, 10000);
    ASSERT_EQ(rows.size(), logged + 1);
    EXPECT_EQ(rows.back().result, 1) << "the second call was not queued";
    EXPECT_GE(road.WaitInServiceLog(kFailed + QStringLiteral("2"), 20000, mark), 0);
    const QString alert = QStringLiteral("PIN lockout: caller ID 1234567 locked out for 60 minutes after 2 callback "
                                         "sessions without the right PIN within 60 minutes");
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Alert]: ") + alert, 5000, mark), 0);
    EXPECT_TRUE(systemLog.WaitFor(alert.toStdString(), std::chrono::seconds(5)));
    // LOG_AUTH | LOG_ALERT: facility 4, level 1.
    EXPECT_EQ(systemLog.Count("<33>"), 1);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("PIN lockout: dropped 1 queued callbacks to 1234567"), 5000, mark), 0);
    EXPECT_TRUE(HungUp(*alice, back));
    EXPECT_EQ(road.Column(QStringLiteral("SELECT COUNT(*) FROM PINLOCKOUTS WHERE CALLERID = '1234567' AND FAILURES = 2 "
                                         "AND LOCKED_UNTIL > DATEADD(MINUTE, 59, CURRENT_TIMESTAMP)")),
              QStringList{QStringLiteral("1")});
    const int dialled = road.Exchange().Count(Re(QStringLiteral("to 91234567")));
    EXPECT_TRUE(alice->Stop());
    EXPECT_TRUE(again->Stop());
    EXPECT_TRUE(bob->Stop());

    // The lock is in the database: after a restart Alice hears "queue full" and is logged with result 3.
    EXPECT_TRUE(road.StopService());
    ASSERT_TRUE(road.StartService(settings));
    mark = ServiceLogSize(road);
    Child* locked = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(locked, nullptr);
    rows = road.WaitForIncoming(logged + 2, 20000);
    ASSERT_EQ(rows.size(), logged + 2);
    EXPECT_EQ(rows.back().callerId, QString(Road::kAlice));
    EXPECT_EQ(rows.back().result, 3);
    EXPECT_GT(rows.back().uid, 0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("OnIncommingCall from locked out CALLERID=1234567, going to "
                                                   "PlayOGMIncommingQueueFull"),
                                    5000, mark),
              0);
    const int welcome = locked->WaitFor(Re(QStringLiteral("^established ")), 10000);
    EXPECT_GE(locked->WaitFor(Re(QStringLiteral("^released ")), 20000, welcome), 0) << "not hung up";
    // Two ticks of the queue timer: nobody calls the locked number back.
    QThread::msleep(15000);
    EXPECT_EQ(road.Exchange().Count(Re(QStringLiteral("to 91234567"))), dialled);
    EXPECT_EQ(locked->Count(Re(QStringLiteral("^established "))), 1);
    EXPECT_EQ(systemLog.Count("locked out"), 1) << "one lock, one alert";
    EXPECT_TRUE(road.StopService());
}
