// What the service writes down about its callbacks, against a real Firebird server: the queue written
// through and read back, attempts with their outcomes, a database that is down at the start or goes
// away under a write, and a database without the outgoing log's columns.
#include "service/core/CallBackJournal.h"
#include "service/core/CallBackQueue.h"
#include "service/core/DBBackend.h"
#include "service/core/tests/SilentHost.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSettings.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QSqlQuery>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

long Count(const LogCapture& log, const std::string& prefix)
{
    const auto lines = log.lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// "dest:attempts" of the QUEUE rows in the order they are read back.
std::vector<std::string> QueueRows(TestDatabase& t)
{
    std::vector<std::string> rows;
    QSqlDatabase db = t.connect();
    QSqlQuery q(db);
    q.exec("SELECT I.DEST, Q.ATTEMPTS FROM QUEUE Q JOIN INCOMINGLOG I ON I.ID = Q.CID ORDER BY Q.ID");
    while (q.next())
        rows.push_back(q.value(0).toString().toStdString() + ":" + std::to_string(q.value(1).toInt()));
    return rows;
}

void Requests(TestDatabase& t, int count)
{
    for (int i = 1; i <= count; ++i) {
        t.exec(QString("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (%1, '10%1', '1', 1, 'U', 1)").arg(i));
        t.exec(QString("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                       "(%1, current_timestamp, '10%1', %1, 1, '10%1')")
                   .arg(i));
    }
}

const std::string kWriteFailed = "Warning: CallBackJournal: the database did not take the callbacks' rows";

} // namespace

// The server is down when the service starts and goes away again under a write: each is made good on
// a tick once it is back, in order, with one warning per outage.
TEST(CallBackJournalServer, DownAtStartAndUnderAWriteMadeGoodOnLaterTicks)
{
    LogCapture log;
    PrivateFbServer server;
    TestDatabase t(TestDatabase::FullSchema, server.env());
    Requests(t, 3);
    // Left by the service before a restart: 102 was being dialled (still first), 101 had failed once.
    t.exec("INSERT INTO QUEUE (ID, CID, UID, CALL_BEGIN, ATTEMPTS) VALUES (5, 2, 2, current_timestamp, 0)");
    t.exec("INSERT INTO QUEUE (ID, CID, UID, CALL_BEGIN, ATTEMPTS) VALUES (9, 1, 1, current_timestamp, 1)");
    CBSrvSettings settings = TestSettings(server.env());
    settings.PersistQueue = true;
    settings.LogOutgoing = true;
    settings.MaxCallBackTries = 3;
    CallBackQueue queue;
    queue.SetSettings(&settings);
    CallBackJournal journal(t.path());
    journal.SetSettings(&settings);
    journal.SetQueue(&queue);
    queue.SetJournal(&journal);

    server.stop();
    journal.Start(milliseconds(3000));
    EXPECT_EQ(queue.GetLength(), 0);
    EXPECT_EQ(Count(log, kWriteFailed), 1);
    journal.Tick(); // still down: tried again, no second warning
    ASSERT_FALSE(journal.Flush(seconds(10)));
    EXPECT_EQ(Count(log, kWriteFailed), 1);

    server.start();
    journal.Tick();
    ASSERT_TRUE(journal.Flush(seconds(20)));
    EXPECT_TRUE(log.contains("Notice: CallBackQueue restored 2 numbers from the database"));
    ASSERT_EQ(queue.GetLength(), 2);
    EXPECT_EQ(queue.Dequeue(), "102");
    queue.OnCallBackFailed("102"); // tries 1, behind 101
    EXPECT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackFailed("101"); // its second failure: tries 2, still below 3
    ASSERT_TRUE(journal.Flush(seconds(10)));
    EXPECT_EQ(QueueRows(t), (std::vector<std::string>{"102:1", "101:2"})) << "restored with the tries they had";

    // The server goes away under the next writes; the queue in memory goes on.
    server.stop();
    queue.PutInQueue("103", 3, 3);
    EXPECT_EQ(queue.Dequeue(), "102");
    queue.OnCallBackEnded("102"); // answered and ended: gone
    EXPECT_FALSE(journal.Flush(seconds(10)));
    EXPECT_EQ(Count(log, kWriteFailed), 2);
    EXPECT_EQ(queue.GetLength(), 2);
    server.start();
    journal.Tick();
    ASSERT_TRUE(journal.Flush(seconds(20)));
    EXPECT_TRUE(log.contains("Informational: CallBackJournal: the database has everything written again"));
    EXPECT_EQ(QueueRows(t), (std::vector<std::string>{"101:2", "103:0"}));
}

// A database host that drops packets: the journal's attempts give up after the connect timeout, so
// neither the start nor the stop waits the client library's minutes, and the queue goes on in memory.
TEST(CallBackJournalServer, AHostThatNeverAnswersHoldsUpNeitherTheStartNorTheStop)
{
    using Clock = std::chrono::steady_clock;
    const auto bound = seconds(DBBackend::kConnectTimeoutSeconds + 12); // the margin is for a loaded machine
    LogCapture log;
    SilentHost host;
    FbServerEnv silent;
    silent.port = host.port;
    CBSrvSettings settings = TestSettings(silent);
    settings.PersistQueue = true;
    CallBackQueue queue;
    queue.SetSettings(&settings);
    const auto started = Clock::now();
    {
        CallBackJournal journal;
        journal.SetSettings(&settings);
        journal.SetQueue(&queue);
        queue.SetJournal(&journal);
        journal.Start(milliseconds(500));
        queue.PutInQueue("100", 1, 1);
        journal.Tick();
        EXPECT_FALSE(journal.Flush(milliseconds(500)));
        queue.SetJournal(nullptr);
    }
    EXPECT_LT(Clock::now() - started, bound) << "the stop waited for the silent host";
    EXPECT_EQ(queue.GetLength(), 1);
    EXPECT_EQ(Count(log, kWriteFailed), 1);
}

// One row per attempt, with the number of the attempt per request and what became of it.
TEST(CallBackJournalAttempts, EachAttemptIsOneRowWithItsOutcome)
{
    LogCapture log;
    TestDatabase t(TestDatabase::FullSchema);
    Requests(t, 2);
    // An attempt a crash left open, and one closed before it.
    t.exec("INSERT INTO OUTGOINGLOG (ID, CID, UID, CALL_BEGIN, CALL_LENGTH, ATTEMPT_NUMBER, ANSWERED, PIN_RESULT) "
           "VALUES (1, 1, 1, current_timestamp, 0, 1, 0, 0)");
    t.exec("INSERT INTO OUTGOINGLOG (ID, CID, UID, CALL_BEGIN, CALL_LENGTH, ATTEMPT_NUMBER, ANSWERED, PIN_RESULT, "
           "END_REASON) VALUES (2, 2, 2, current_timestamp, 0, 1, 0, 0, 1)");
    t.exec("SET GENERATOR NEW_OUTGOING_ID TO 2");
    CBSrvSettings settings = TestSettings(t.server());
    settings.LogOutgoing = true;
    CallBackQueue queue;
    CallBackJournal journal(t.path());
    journal.SetSettings(&settings);
    journal.SetQueue(&queue);
    journal.Start();
    EXPECT_TRUE(journal.LogsOutgoing());
    EXPECT_FALSE(journal.PersistsQueue());
    EXPECT_TRUE(log.contains("Notice: CallBackJournal closed 1 callback attempts left open as interrupted"));

    using R = CallBackJournal::EndReason;
    journal.AttemptPlaced("a", 1, 1, "201"); // busy
    journal.AttemptEnded("a", 486);
    journal.AttemptPlaced("b", 1, 1, "202"); // answered, PIN, transferred
    journal.AttemptAnswered("b");
    journal.AttemptPin("b", true);
    journal.AttemptDestination("b", "97654321");
    journal.AttemptOutcome("b", R::Transferred);
    journal.AttemptPlaced("c", 2, 2, "201"); // rang out
    journal.AttemptOutcome("c", R::NoAnswer);
    journal.AttemptEnded("c", 487);
    journal.AttemptPlaced("d", 2, 2, "201"); // answered, hung up before the PIN
    journal.AttemptAnswered("d");
    journal.AttemptEnded("d", 0);
    journal.AttemptEnded("not a callback", 0);
    journal.AttemptEnded("b", 0);
    journal.Stopping();
    journal.AttemptPlaced("e", 2, 2, "201"); // cut off by the stop
    journal.AttemptEnded("e", 0);
    ASSERT_TRUE(journal.Flush(seconds(10)));

    QSqlDatabase db = t.connect();
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec("SELECT CID, ATTEMPT_NUMBER, ANSWERED, PIN_RESULT, END_REASON, SIP_STATUS, LINE, DESTINATION "
                       "FROM OUTGOINGLOG ORDER BY ID"));
    std::vector<std::string> rows;
    while (q.next()) {
        std::string row;
        for (int i = 0; i < 8; ++i)
            row += (i ? "|" : "") + (q.value(i).isNull() ? std::string("-") : q.value(i).toString().toStdString());
        rows.push_back(row);
    }
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "1|1|0|0|9|-|-|-",         // closed as interrupted at the start
                        "2|1|0|0|1|-|-|-",         // left as it was
                        "1|2|0|0|2|486|201|-",     // refused, with its status
                        "1|3|1|1|8|-|202|97654321", // transferred
                        "2|2|0|0|1|-|201|-",       // no answer (the cancel's 487 is not the reason)
                        "2|3|1|0|5|-|201|-",       // hung up
                        "2|4|0|0|9|-|201|-",       // interrupted by the stop
                    }));
}

// A database from before the outgoing log's columns: the feature says so once and stays off; the
// queue, which needs nothing new, is persisted all the same.
TEST(CallBackJournalOptional, WithoutTheColumnsTheOutgoingLogStaysOff)
{
    LogCapture log;
    TestDatabase t(TestDatabase::BaseSchema);
    Requests(t, 1);
    CBSrvSettings settings = TestSettings(t.server());
    settings.LogOutgoing = true;
    settings.PersistQueue = true;
    CallBackQueue queue;
    queue.SetSettings(&settings);
    CallBackJournal journal(t.path());
    journal.SetSettings(&settings);
    journal.SetQueue(&queue);
    queue.SetJournal(&journal);
    journal.Start();
    EXPECT_FALSE(journal.LogsOutgoing());
    EXPECT_EQ(Count(log, "Error: The outgoing log is off: the database lacks outgoinglog.end_reason"), 1);
    journal.AttemptPlaced("a", 1, 1, "201");
    journal.AttemptEnded("a", 486);
    queue.PutInQueue("101", 1, 1);
    journal.Tick();
    ASSERT_TRUE(journal.Flush(seconds(10)));
    EXPECT_EQ(Count(log, "Error: "), 1);
    EXPECT_EQ(t.row("SELECT COUNT(*) FROM OUTGOINGLOG").value(0).toInt(), 0);
    EXPECT_EQ(QueueRows(t), (std::vector<std::string>{"101:0"}));
}
