// Every callback accounted for, on the whole road: the queue written to QUEUE survives a crash of the
// service and comes back in order with its tries, and every callback attempt leaves one OUTGOINGLOG row
// that says what became of it.
#include "tests/road/Road.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

using road::Child;
using road::Road;

namespace {

constexpr const char* kDan = "88001234567"; // a third subscriber, PIN 5555

QRegularExpression Re(const QString& pattern)
{
    return QRegularExpression(pattern);
}

// Waits until `select` gives at least n rows; the rows.
std::vector<QVariantList> WaitRows(Road& road, const QString& select, size_t n, int timeoutMs)
{
    std::vector<QVariantList> rows;
    testsupport::WaitFor([&] { return (rows = road.Rows(select)).size() >= n; }, std::chrono::milliseconds(timeoutMs),
                         std::chrono::milliseconds(200));
    return rows;
}

// The callbacks the exchange saw line 201 place, from line `from` of its output on (not the transfers to
// Carol).
QStringList CallbacksPlaced(Road& road, int from)
{
    QStringList numbers;
    const QStringList lines = road.Exchange().Lines();
    const QRegularExpression placed(QStringLiteral("call \\d+ from 201 to 9(\\d+)( |$)"));
    for (int i = from; i < lines.size(); ++i) {
        auto m = placed.match(lines[i]);
        if (m.hasMatch() && m.captured(1) != QLatin1String(Road::kCarol))
            numbers << m.captured(1);
    }
    return numbers;
}

const QString kQueueRows = QStringLiteral(
    "SELECT I.DEST, Q.ATTEMPTS, Q.UID FROM QUEUE Q JOIN INCOMINGLOG I ON I.ID = Q.CID ORDER BY Q.ID");
const QString kAttemptRows = QStringLiteral(
    "SELECT I.DEST, O.ATTEMPT_NUMBER, O.ANSWERED, O.PIN_RESULT, O.END_REASON, O.SIP_STATUS, O.LINE, O.DESTINATION, "
    "O.CALL_LENGTH, O.CID FROM OUTGOINGLOG O JOIN INCOMINGLOG I ON I.ID = O.CID ORDER BY O.ID");

struct Attempt
{
    QString number;
    int attempt;
    int answered;
    int pin;
    int reason;
};

} // namespace

// One line, so callbacks go one at a time: Alice lets the callback ring, Bob is busy, Dan calls twice
// and is being dialled when the service is killed. The restarted service reads the queue back and calls
// them in the same order with the tries they had: Dan now answers and is transferred, Alice rings out
// again and, at her second failure, is given up; Bob answers this time and enters a wrong PIN.
TEST(AccountingTest, QueueSurvivesACrashAndEveryAttemptIsLogged)
{
    Road road;
    road.SetServiceLines(1);
    ASSERT_TRUE(road.AddSubscriber({QString::fromLatin1(kDan), QStringLiteral("5555"), 3, QStringLiteral("Dan")}));
    ASSERT_TRUE(road.StartExchange());
    const QMap<QString, QString> settings{{QStringLiteral("CallBack/PersistQueue"), QStringLiteral("1")},
                                          {QStringLiteral("CallBack/LogOutgoing"), QStringLiteral("1")},
                                          {QStringLiteral("CallBack/MaxCallBackTries"), QStringLiteral("2")},
                                          {QStringLiteral("CallBack/EnterPinMaxTries"), QStringLiteral("1")}};
    ASSERT_TRUE(road.StartService(settings));
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("CallBackQueue restored 0 numbers from the database"), 1000), 0);

    Child* alice = road.Caller(Road::kAlice, Road::kLine1, {QStringLiteral("--no-answer")});
    ASSERT_NE(alice, nullptr);
    ASSERT_EQ(road.WaitForIncoming(1, 15000).size(), 1u);
    Child* bob = road.Caller(Road::kBob, Road::kLine1, {QStringLiteral("--busy")});
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(road.WaitForIncoming(2, 15000).size(), 2u);
    // Dan's first call ends with the welcome; the phone of his second stays to be called back.
    Child* danFirst =
        road.Phone(kDan, {QStringLiteral("--call"), QStringLiteral("sip:201@%1").arg(road.ExchangeSip())});
    ASSERT_NE(danFirst, nullptr);
    ASSERT_EQ(road.WaitForIncoming(3, 15000).size(), 3u);
    // Gone, and its registration with it, before the phone that stays registers.
    ASSERT_TRUE(testsupport::WaitFor([&] { return !danFirst->Running(); }, std::chrono::seconds(20),
                                     std::chrono::milliseconds(100)));
    Child* dan = road.Caller(kDan, Road::kLine1, {QStringLiteral("--no-answer")});
    ASSERT_NE(dan, nullptr);
    const auto incoming = road.WaitForIncoming(4, 15000);
    ASSERT_EQ(incoming.size(), 4u);
    for (const auto& row : incoming)
        EXPECT_EQ(row.result, 1) << qPrintable(row.callerId);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("CallBackQueue already waiting to call to callerid=%1").arg(kDan),
                                    5000),
              0);

    // Alice rings out (tries 1, behind the others), Bob refuses at once (tries 1), Dan's callback rings.
    ASSERT_GE(road.WaitInServiceLog(QStringLiteral("Failed to make callback to number 1234567"), 60000), 0);
    ASSERT_GE(road.WaitInServiceLog(QStringLiteral("Failed to make callback to number 84951234567"), 30000), 0);
    ASSERT_GE(road.Exchange().WaitFor(Re(QStringLiteral("call \\d+ from 201 to 9%1( |$)").arg(kDan)), 30000), 0);
    // Its row is written behind every change of the queue before it: all of them are in the database.
    const auto beforeCrash = WaitRows(road, kAttemptRows, 3, 10000);
    ASSERT_EQ(beforeCrash.size(), 3u);
    ASSERT_TRUE(road.KillService());

    const auto queued = road.Rows(kQueueRows);
    ASSERT_EQ(queued.size(), 3u) << "one row per number, Dan's two calls one request";
    EXPECT_EQ(queued[0][0].toString(), QString(kDan));
    EXPECT_EQ(queued[0][1].toInt(), 0) << "a dial cut off keeps its tries";
    EXPECT_EQ(queued[1][0].toString(), QString(Road::kAlice));
    EXPECT_EQ(queued[1][1].toInt(), 1);
    EXPECT_EQ(queued[2][0].toString(), QString(Road::kBob));
    EXPECT_EQ(queued[2][1].toInt(), 1);
    for (const auto& row : queued)
        EXPECT_GT(row[2].toInt(), 0);
    EXPECT_TRUE(beforeCrash[2][4].isNull()) << "Dan's attempt is open when the service dies";

    // This time Dan answers (PIN, then a destination) and Bob answers with a wrong PIN.
    dan->Stop(10000);
    bob->Stop(10000);
    ASSERT_NE(road.Phone(Road::kCarol, {QStringLiteral("--hangup-after"), QStringLiteral("5")}), nullptr);
    ASSERT_NE(road.Phone(kDan, {QStringLiteral("--answer-keys"), QStringLiteral("5555#@4"),
                                QStringLiteral("--answer-keys"), QStringLiteral("97654321#@10")}),
              nullptr);
    ASSERT_NE(road.Phone(Road::kBob, {QStringLiteral("--answer-keys"), QStringLiteral("0000#@4")}), nullptr);

    const int logged = road::ReadLines(road.ServiceLog()).size();
    const int placedFrom = road.Exchange().Lines().size();
    ASSERT_TRUE(road.StartService(settings));
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("CallBackQueue restored 3 numbers from the database"), 1000, logged),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("CallBackJournal closed 1 callback attempts left open as interrupted"),
                                    1000, logged),
              0);

    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Making transfer.. Making call to 97654321 from=201"), 60000, logged),
              0);
    // Alice had one try left.
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Exceeded number of callback tryes 2 to number 1234567"), 90000,
                                    logged),
              0);
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Got wrong PIN=**** from 84951234567, disconnecting"), 40000, logged),
              0);
    EXPECT_EQ(CallbacksPlaced(road, placedFrom), (QStringList{kDan, Road::kAlice, Road::kBob}));

    // Every attempt closed: six rows, in the order they were placed.
    std::vector<QVariantList> rows;
    testsupport::WaitFor(
        [&] {
            rows = road.Rows(kAttemptRows);
            return rows.size() >= 6 && std::all_of(rows.begin(), rows.end(), [](const QVariantList& r) { return !r[4].isNull(); });
        },
        std::chrono::seconds(20), std::chrono::milliseconds(200));
    ASSERT_EQ(rows.size(), 6u);
    const std::vector<Attempt> expected{
        {Road::kAlice, 1, 0, 0, 1}, // no answer
        {Road::kBob, 1, 0, 0, 2},   // refused, busy
        {kDan, 1, 0, 0, 9},         // interrupted by the crash
        {kDan, 2, 1, 1, 8},         // transferred
        {Road::kAlice, 2, 0, 0, 1}, // no answer, given up
        {Road::kBob, 2, 1, 2, 4},   // PIN failed
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i][0].toString(), expected[i].number);
        EXPECT_EQ(rows[i][1].toInt(), expected[i].attempt);
        EXPECT_EQ(rows[i][2].toInt(), expected[i].answered);
        EXPECT_EQ(rows[i][3].toInt(), expected[i].pin);
        EXPECT_EQ(rows[i][4].toInt(), expected[i].reason);
        EXPECT_EQ(rows[i][6].toString(), QStringLiteral("201"));
    }
    EXPECT_EQ(rows[1][5].toInt(), 486);
    EXPECT_EQ(rows[3][7].toString(), QStringLiteral("97654321"));
    EXPECT_GT(rows[3][8].toInt(), 0) << "answered to released";
    EXPECT_EQ(rows[2][9], rows[3][9]) << "both of Dan's attempts answer his first request";
    EXPECT_TRUE(road.Rows(kQueueRows).empty()) << "nobody waits any more";
}
