// The service's database access against a real Firebird server: each test gets its own database file.
#include "service/core/DBBackend.h"
#include "common/Schema.h"
#include "tests/support/LogCapture.h"
#include "service/core/tests/SilentHost.h"
#include "tests/support/TestSettings.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QVariant>

#include <gtest/gtest.h>

#include <thread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <vector>

namespace {

const std::string kNotOpened = "Warning: Databse is not opened";

long count(const std::vector<std::string>& lines, const std::string& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

class DBBackendTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        backend.SetSettings(&settings);
        backend.OpenDatabase();
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '100', '1234', 1, 'A', 1)");
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (2, '101', '1234', 1, 'B', 0)");
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (3, '102', '1234', 1, 'C', 2)");
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (7, '200', '7', 1, 'D', 1)");
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (5, '200', '5', 1, 'E', 1)");
    }

    LogCapture log;
    TestDatabase t{TestDatabase::FullSchema};
    CBSrvSettings settings = TestSettings(t.server());
    DBBackend backend{t.path()};
};

TEST_F(DBBackendTest, RecognisesActiveSubscribersOnly)
{
    EXPECT_TRUE(log.contains("Informational: Connected to database "));
    EXPECT_TRUE(backend.CheckCallerId("100"));
    EXPECT_EQ(backend.GetUID("100"), 1);
    EXPECT_TRUE(backend.CheckPin("100", "1234"));
    EXPECT_FALSE(backend.CheckPin("100", "12345"));
    EXPECT_FALSE(backend.CheckPin("100", ""));
    for (const char* inactive : {"101", "102", "999", ""}) {
        EXPECT_FALSE(backend.CheckCallerId(inactive)) << inactive;
        EXPECT_EQ(backend.GetUID(inactive), -1) << inactive;
        EXPECT_FALSE(backend.CheckPin(inactive, "1234")) << inactive;
    }
    // Two active rows share a caller ID: recognised, and the first row the server returns gives the ID.
    EXPECT_TRUE(backend.CheckCallerId("200"));
    EXPECT_EQ(backend.GetUID("200"), t.row("SELECT ID FROM USERS where IS_ACTIVE=1 and CALLERID='200'")
                                         .value(0)
                                         .toInt());
    EXPECT_TRUE(backend.CheckPin("200", "5"));
    EXPECT_TRUE(backend.CheckPin("200", "7"));
    EXPECT_EQ(backend.GetTransferCOS("100"), 1);
}

TEST_F(DBBackendTest, SavesIncomingCalls)
{
    int first = 0, second = 0;
    backend.SaveIncomingCall("100", 1, 1, "8100", first);
    backend.SaveIncomingCall("555", -1, 0, "8555", second);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    // Read through another attachment: the rows are committed.
    QSqlDatabase other = t.connect();
    QVariantList a = TestDatabase::row(other, "SELECT CALLERID, UID, RESULT, DEST, CALL_BEGIN FROM INCOMINGLOG WHERE ID=1");
    ASSERT_EQ(a.size(), 5);
    EXPECT_EQ(a[0].toString(), "100");
    EXPECT_EQ(a[1].toInt(), 1);
    EXPECT_EQ(a[2].toInt(), 1);
    EXPECT_EQ(a[3].toString(), "8100");
    EXPECT_LT(std::abs(a[4].toDateTime().secsTo(QDateTime::currentDateTime())), 60);
    QVariantList b = TestDatabase::row(other, "SELECT UID, RESULT FROM INCOMINGLOG WHERE ID=2");
    ASSERT_EQ(b.size(), 2);
    EXPECT_TRUE(b[0].isNull()) << "subscriber -1 is written as null";
    EXPECT_EQ(b[1].toInt(), 0);

    int bad = 0;
    backend.SaveIncomingCall("100", 99, 1, "8100", bad);
    EXPECT_EQ(bad, -1) << "an unknown subscriber fails the foreign key";
    EXPECT_EQ(count(log.lines(), kNotOpened), 0);
}

// Calls that came in together: the same answers and rows as one by one, with one commit for the rows.
TEST_F(DBBackendTest, IncomingCallsTogetherAreCheckedAndLoggedAsOneByOne)
{
    const std::string quote = "100' OR '1'='1";
    const std::string longText(200, '1');
    const std::string cyrillic = "Пётр'\"";
    ASSERT_TRUE(backend.RecordFailedSession("200", 5, 1, 10, 10).lockedNow);
    std::vector<IDBBackend::IncomingCaller> callers;
    for (const std::string& id : {std::string("100"), std::string("101"), std::string("999"), std::string("200"), quote,
                                  longText, cyrillic})
        callers.push_back({id});
    for (const bool lockout : {false, true}) {
        backend.CheckCallers(callers, lockout);
        for (const auto& caller : callers) {
            EXPECT_EQ(caller.known, backend.CheckCallerId(caller.callerId)) << caller.callerId;
            EXPECT_EQ(caller.uid, backend.GetUID(caller.callerId)) << caller.callerId;
            EXPECT_EQ(caller.lockedOut, lockout && caller.callerId == "200") << caller.callerId;
        }
    }

    std::vector<IDBBackend::IncomingRow> rows{
        {"100", 1, 1, "8100"}, {"555", -1, 0, "8555"}, {"100", 99, 1, "8100"}, {longText, -1, 0, longText},
        {cyrillic, -1, 0, quote}};
    backend.SaveIncomingCalls(rows);
    EXPECT_EQ(rows[0].id, 1);
    EXPECT_EQ(rows[1].id, 2);
    EXPECT_EQ(rows[2].id, -1) << "an unknown subscriber fails the foreign key, and only its own row";
    EXPECT_GT(rows[3].id, rows[1].id);
    EXPECT_GT(rows[4].id, rows[3].id);
    QSqlDatabase other = t.connect(); // committed
    EXPECT_EQ(TestDatabase::row(other, "SELECT COUNT(*) FROM INCOMINGLOG").value(0).toInt(), 4);
    QVariantList a = TestDatabase::row(other, "SELECT CALLERID, UID, RESULT, DEST FROM INCOMINGLOG WHERE ID=1");
    EXPECT_EQ(a, (QVariantList{"100", 1, 1, "8100"}));
    EXPECT_TRUE(TestDatabase::row(other, "SELECT UID FROM INCOMINGLOG WHERE ID=2").value(0).isNull());
    QVariantList cut = TestDatabase::row(
        other, QStringLiteral("SELECT CALLERID, DEST FROM INCOMINGLOG WHERE ID=%1").arg(rows[3].id));
    EXPECT_EQ(cut.value(0).toString().toStdString(), longText.substr(0, 20));
    QVariantList bound = TestDatabase::row(
        other, QStringLiteral("SELECT CALLERID, DEST FROM INCOMINGLOG WHERE ID=%1").arg(rows[4].id));
    EXPECT_EQ(bound.value(0).toString().toStdString(), cyrillic);
    EXPECT_EQ(bound.value(1).toString().toStdString(), quote);

    // Closed: nothing known, no row; the first operation reopens, and the statements are made anew on
    // the new attachment.
    for (const bool checkFirst : {true, false}) {
        backend.CloseDatabase();
        rows.resize(1);
        if (checkFirst) {
            backend.CheckCallers(callers, false);
            EXPECT_TRUE(std::none_of(callers.begin(), callers.end(), [](const auto& c) { return c.known; }));
        } else {
            backend.SaveIncomingCalls(rows);
            EXPECT_EQ(rows[0].id, -1);
        }
        backend.SaveIncomingCalls(rows);
        EXPECT_GT(rows[0].id, 0);
        backend.CheckCallers(callers, true);
        EXPECT_TRUE(callers[0].known && callers[3].lockedOut);
    }
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(count(lines, kNotOpened), 2);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Warning: Can't execute query.", 0) == 0; }),
              1)
        << "the refused row alone; a caller ID too long for the column is nobody's, as one by one";
}

TEST_F(DBBackendTest, BlacklistPatternsMatchTheWholeNumber)
{
    EXPECT_TRUE(backend.checkDialedNumber("100", "112")) << "an empty blacklist refuses nothing";
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '112')");
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '9[0-9]*')");
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '8(')");  // invalid: matches nothing
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, 'abc')");
    EXPECT_FALSE(backend.checkDialedNumber("100", "112"));
    EXPECT_TRUE(backend.checkDialedNumber("100", "1120"));
    EXPECT_FALSE(backend.checkDialedNumber("100", "9"));
    EXPECT_FALSE(backend.checkDialedNumber("100", "955"));
    EXPECT_TRUE(backend.checkDialedNumber("100", "0955"));
    EXPECT_TRUE(backend.checkDialedNumber("100", "8("));
    EXPECT_TRUE(backend.checkDialedNumber("100", "ABC")) << "case-sensitive";
    EXPECT_FALSE(backend.checkDialedNumber("100", "abc"));
    EXPECT_TRUE(log.contains("Debug: checkDialedNumber by callerid=100, number=955"));
    // An edited pattern counts from the next call on.
    t.exec("UPDATE BLACKLIST SET NUMBER='113' WHERE NUMBER='112'");
    EXPECT_TRUE(backend.checkDialedNumber("100", "112"));
    EXPECT_FALSE(backend.checkDialedNumber("100", "113"));

    // The blacklist cannot be read: refused, with the reason.
    t.exec("DROP TABLE BLACKLIST");
    EXPECT_FALSE(backend.checkDialedNumber("100", "0955"));
    auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Warning: Can't execute query.", 0) == 0 && l.find("BLACKLIST") != std::string::npos;
    }));
    EXPECT_EQ(count(lines, kNotOpened), 0) << "a failed statement is not a lost connection";
}

TEST_F(DBBackendTest, BlacklistThatCannotBeReadRefusesEveryNumber)
{
    // An account that may attach but not read the pattern table: the check fails, the number is refused,
    // and the connection stays up for the next call.
    const QString user = QStringLiteral("SELVB%1").arg(QCoreApplication::applicationPid());
    t.exec(QStringLiteral("CREATE USER %1 PASSWORD 'pw'").arg(user));
    {
        CBSrvSettings restricted = settings;
        restricted.UserName = user;
        restricted.Password = QStringLiteral("pw");
        DBBackend other(t.path());
        other.SetSettings(&restricted);
        other.OpenDatabase();
        for (const char* number : {"0955", "112", ""})
            EXPECT_FALSE(other.checkDialedNumber("100", number)) << number;
        auto lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) {
                                    return l.rfind("Warning: Can't execute query.", 0) == 0 &&
                                           l.find("BLACKLIST") != std::string::npos;
                                }),
                  3);
        EXPECT_EQ(count(lines, kNotOpened), 0);
    }
    t.exec(QStringLiteral("DROP USER %1").arg(user));
}

TEST_F(DBBackendTest, InputFromTheNetworkStaysBound)
{
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '.*''.*')");
    const std::string quote = "100' OR '1'='1";
    const std::string longText(200, '1');
    const std::string cyrillic = "Пётр'\"";
    EXPECT_FALSE(backend.CheckCallerId(quote));
    EXPECT_EQ(backend.GetUID(quote), -1);
    EXPECT_FALSE(backend.CheckPin("100", "' OR ''='"));
    EXPECT_FALSE(backend.CheckCallerId(longText));
    EXPECT_FALSE(backend.CheckPin(longText, longText));
    EXPECT_EQ(backend.GetUID(cyrillic), -1);
    EXPECT_FALSE(backend.checkDialedNumber(cyrillic, "12'34"));
    EXPECT_TRUE(backend.checkDialedNumber(quote, longText));

    int a = 0, b = 0;
    backend.SaveIncomingCall(cyrillic, -1, 0, quote, a);
    backend.SaveIncomingCall(longText, -1, 0, longText, b);
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1) << "a long caller ID is still logged";
    QVariantList first = t.row(QStringLiteral("SELECT CALLERID, DEST FROM INCOMINGLOG WHERE ID=%1").arg(a));
    EXPECT_EQ(first.value(0).toString().toStdString(), cyrillic);
    EXPECT_EQ(first.value(1).toString().toStdString(), quote);
    QVariantList second = t.row(QStringLiteral("SELECT CALLERID, DEST FROM INCOMINGLOG WHERE ID=%1").arg(b));
    EXPECT_EQ(second.value(0).toString().toStdString(), longText.substr(0, 20));
    EXPECT_EQ(t.row("SELECT COUNT(*) FROM USERS").value(0).toInt(), 5);
}

TEST_F(DBBackendTest, ClosedConnectionReopensOnDemand)
{
    int id = 0;
    auto closedThen = [&](auto operation) {
        backend.CloseDatabase();
        size_t before = log.lines().size();
        operation();
        auto lines = log.lines();
        EXPECT_EQ(count({lines.begin() + long(before), lines.end()}, kNotOpened), 1);
    };
    closedThen([&] { EXPECT_FALSE(backend.CheckCallerId("100")); });
    closedThen([&] { EXPECT_FALSE(backend.CheckPin("100", "1234")); });
    closedThen([&] { EXPECT_EQ(backend.GetUID("100"), -1); });
    closedThen([&] {
        EXPECT_FALSE(backend.checkDialedNumber("100", "0955"))
            << "a number that cannot be checked is refused";
        EXPECT_TRUE(
            log.contains("Warning: checkDialedNumber: the blacklist cannot be read, refusing number=0955"));
    });
    closedThen([&] {
        backend.SaveIncomingCall("100", 1, 1, "100", id);
        EXPECT_EQ(id, -1);
    });
    closedThen([&] { EXPECT_EQ(backend.OptionalObjectsOf("outgoing log"), DBBackend::Presence::Unknown); });
    EXPECT_EQ(t.row("SELECT COUNT(*) FROM INCOMINGLOG").value(0).toInt(), 0) << "no row while closed";
    // The last call's reopen attempt succeeded: the next runs.
    EXPECT_TRUE(backend.CheckCallerId("100"));
    backend.CloseDatabase();
    backend.OpenDatabase();
    EXPECT_TRUE(backend.CheckCallerId("100"));
}

// A database built before a feature's objects existed: the service learns which are missing, and
// nothing else is disturbed.
TEST(DBBackendOptionalObjects, ProbedByFeature)
{
    TestDatabase old(TestDatabase::BaseSchema);
    CBSrvSettings settings = TestSettings(old.server());
    DBBackend backend{old.path()};
    backend.SetSettings(&settings);
    backend.OpenDatabase();
    std::vector<std::string> missing;
    EXPECT_EQ(backend.OptionalObjectsOf("outgoing log", &missing), DBBackend::Presence::Missing);
    std::vector<std::string> expected;
    for (const Schema::OptionalObject* object : Schema::OptionalObjectsOf("outgoing log"))
        expected.emplace_back(object->key);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(missing, expected);
    EXPECT_EQ(backend.OptionalObjectsOf("no such feature"), DBBackend::Presence::Present);

    old.exec(QString::fromLatin1(Schema::OptionalObjectsOf("outgoing log").front()->statement.data()));
    EXPECT_EQ(backend.OptionalObjectsOf("outgoing log", &missing), DBBackend::Presence::Missing);
    EXPECT_EQ(missing.size(), expected.size() - 1);
    for (const Schema::OptionalObject* object : Schema::OptionalObjectsOf("outgoing log"))
        if (object != Schema::OptionalObjectsOf("outgoing log").front())
            old.exec(QString::fromLatin1(object->statement.data()));
    EXPECT_EQ(backend.OptionalObjectsOf("outgoing log", &missing), DBBackend::Presence::Present);
    EXPECT_TRUE(missing.empty());
}

// The lockout's counting on the server's clock: failed sessions count within the window from the first,
// the limit locks once (one alert) for the lock's minutes, the right PIN clears a count but not a lock,
// and a window or a lock that ran out starts a fresh count. Times are moved back in the table itself.
TEST_F(DBBackendTest, FailedPinSessionsCountWithinTheWindowAndLockAtTheLimit)
{
    ASSERT_EQ(backend.PinLockoutStore(), IDBBackend::LockoutStore::Ready);
    auto record = [&] { return backend.RecordFailedSession("100", 1, 3, 60, 30); };
    auto failures = [&] { return t.row("SELECT FAILURES, UID FROM PINLOCKOUTS WHERE CALLERID = '100'"); };

    IDBBackend::FailedSession failed = record();
    EXPECT_TRUE(failed.recorded);
    EXPECT_EQ(failed.failures, 1);
    EXPECT_EQ(record().failures, 2);
    EXPECT_FALSE(backend.IsLockedOut("100"));
    EXPECT_EQ(failures(), (QVariantList{2, 1}));

    // The right PIN: the count starts again.
    backend.ClearFailedSessions("100");
    EXPECT_EQ(t.row("SELECT COUNT(*) FROM PINLOCKOUTS").value(0).toInt(), 0);
    EXPECT_EQ(record().failures, 1);
    EXPECT_EQ(record().failures, 2);

    // The first failure an hour and a minute ago: outside the window, the count starts again.
    t.exec("UPDATE PINLOCKOUTS SET FIRST_FAILURE = DATEADD(MINUTE, -61, CURRENT_TIMESTAMP)");
    EXPECT_EQ(record().failures, 1);
    EXPECT_EQ(record().failures, 2);
    failed = record();
    EXPECT_EQ(failed.failures, 3);
    EXPECT_TRUE(failed.lockedNow);
    EXPECT_TRUE(backend.IsLockedOut("100"));
    EXPECT_FALSE(backend.IsLockedOut("1000")) << "the lock is the caller ID's alone";
    EXPECT_EQ(t.row("SELECT COUNT(*) FROM PINLOCKOUTS WHERE LOCKED_UNTIL BETWEEN DATEADD(MINUTE, 29, CURRENT_TIMESTAMP) "
                    "AND DATEADD(MINUTE, 31, CURRENT_TIMESTAMP)")
                  .value(0)
                  .toInt(),
              1);

    // A session that was under way when the lock began: counted, no second lock, the lock stays.
    failed = record();
    EXPECT_EQ(failed.failures, 4);
    EXPECT_FALSE(failed.lockedNow);
    backend.ClearFailedSessions("100");
    EXPECT_TRUE(backend.IsLockedOut("100")) << "a right PIN from a session begun before the lock lifted it";

    // The lock ran out: let in, and the next failure is the first of a new count.
    t.exec("UPDATE PINLOCKOUTS SET LOCKED_UNTIL = DATEADD(MINUTE, -1, CURRENT_TIMESTAMP)");
    EXPECT_FALSE(backend.IsLockedOut("100"));
    failed = record();
    EXPECT_EQ(failed.failures, 1);
    EXPECT_FALSE(failed.lockedNow);
    EXPECT_FALSE(backend.IsLockedOut("100"));

    // A caller ID longer than the column is cut to it, as the log row is, instead of failing.
    EXPECT_TRUE(backend.RecordFailedSession(std::string(60, '7'), -1, 3, 60, 30).recorded);
    const QVariantList cut = t.row("SELECT CHAR_LENGTH(CALLERID), UID FROM PINLOCKOUTS WHERE CALLERID STARTING WITH '777'");
    EXPECT_EQ(cut.value(0).toInt(), 20);
    EXPECT_TRUE(cut.value(1).isNull()) << "no subscriber, no id";

    // Without the table: the store says so, and nothing is recorded or locked.
    TestDatabase old(TestDatabase::BaseSchema);
    DBBackend oldBackend{old.path()};
    CBSrvSettings oldSettings = TestSettings(old.server());
    oldBackend.SetSettings(&oldSettings);
    oldBackend.OpenDatabase();
    EXPECT_EQ(oldBackend.PinLockoutStore(), IDBBackend::LockoutStore::Missing);
}

// Qt's own report of a connection used away from the thread that made it.
std::atomic<int> g_foreignThreadUses{0};
QtMessageHandler g_previousHandler = nullptr;

void CountForeignThreadUses(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("does not belong to the calling thread")))
        ++g_foreignThreadUses;
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

TEST_F(DBBackendTest, OperationsFromSeveralThreadsRunInTurnOnTheConnectionsThread)
{
    t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '112')");
    g_foreignThreadUses = 0;
    g_previousHandler = qInstallMessageHandler(&CountForeignThreadUses);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int n = 0; n < 4; ++n)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                int id = -1;
                if (!backend.CheckCallerId("100") || backend.GetUID("101") != -1 || !backend.CheckPin("100", "1234") ||
                    backend.checkDialedNumber("100", "112") || !backend.checkDialedNumber("100", "0955"))
                    ++wrong;
                backend.SaveIncomingCall("100", 1, 1, "100", id);
                if (id <= 0)
                    ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    const int usesAway = g_foreignThreadUses;
    // The connection exists, and Qt refuses it to this thread: it belongs to the database thread.
    EXPECT_TRUE(QSqlDatabase::contains(backend.ConnectionName()));
    EXPECT_FALSE(QSqlDatabase::database(backend.ConnectionName(), false).isValid());
    EXPECT_EQ(g_foreignThreadUses, usesAway + 1);
    qInstallMessageHandler(g_previousHandler);
    EXPECT_EQ(usesAway, 0) << "no operation used the connection on its caller's thread";
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(t.row("SELECT COUNT(*), COUNT(DISTINCT ID) FROM INCOMINGLOG"), (QVariantList{200, 200}));
}

class DBBackendCreation : public ::testing::Test
{
protected:
    void TearDown() override { TestDatabase::drop(server, path); }

    LogCapture log;
    FbServerEnv server = FbServerEnv::fromEnvironment();
    QString path = TestDatabase::uniquePath(server, QStringLiteral("created"));
    CBSrvSettings settings = TestSettings(server);
};

TEST_F(DBBackendCreation, CreatesAMissingDatabase)
{
    {
        DBBackend backend(path);
        backend.SetSettings(&settings);
        backend.OpenDatabase();
        auto lines = log.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].rfind("Warning: Can't open database, trying to create ", 0), 0u)
            << lines[lines.size() - 2];
        EXPECT_EQ(lines.back(), "Informational: Connected to database ");
        EXPECT_TRUE(QFile::exists(path));
        // The service builds no schema: the new database is empty.
        EXPECT_FALSE(backend.CheckCallerId("100"));
        EXPECT_FALSE(backend.checkDialedNumber("100", "112"));
        EXPECT_EQ(count(log.lines(), kNotOpened), 0);
    }
}

TEST_F(DBBackendCreation, FailedCreationLeavesTheConnectionClosed)
{
    // Unescaped, the second PASSWORD clause would win and create the file as SYSDBA.
    settings.Password = QStringLiteral("x' USER 'SYSDBA' PASSWORD '") + server.password;
    DBBackend backend(path);
    backend.SetSettings(&settings);
    backend.OpenDatabase();
    auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Error: Can't create database", 0) == 0;
    }));
    EXPECT_FALSE(QFile::exists(path)) << "the quoted password must not smuggle in SYSDBA's credentials";
    EXPECT_FALSE(backend.CheckCallerId("100"));
    EXPECT_EQ(count(log.lines(), kNotOpened), 1);
}

TEST_F(DBBackendCreation, QuoteInPasswordIsPartOfThePassword)
{
    TestDatabase admin(TestDatabase::Empty);
    const QString user = QStringLiteral("SELVQ%1").arg(QCoreApplication::applicationPid());
    admin.exec(QStringLiteral("CREATE USER %1 PASSWORD 'pa''ss'").arg(user));
    admin.exec(QStringLiteral("GRANT CREATE DATABASE TO USER %1").arg(user));
    {
        settings.UserName = user;
        settings.Password = QStringLiteral("pa'ss");
        DBBackend backend(path);
        backend.SetSettings(&settings);
        backend.OpenDatabase();
        EXPECT_EQ(log.lines().back(), "Informational: Connected to database ");
    }
    TestDatabase::drop(server, path);
    admin.exec(QStringLiteral("DROP USER %1").arg(user));
}

TEST(DBBackendServer, StoppedAndStartedAgain)
{
    LogCapture log;
    PrivateFbServer server;
    CBSrvSettings settings = TestSettings(server.env());
    {
        TestDatabase t(TestDatabase::FullSchema, server.env());
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '100', '1', 1, 'A', 1)");
        t.exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '112')");
        DBBackend backend(t.path());
        backend.SetSettings(&settings);
        backend.OpenDatabase();
        ASSERT_TRUE(backend.CheckCallerId("100"));
        std::vector<IDBBackend::IncomingCaller> prepared{{"100"}};
        backend.CheckCallers(prepared, false);
        ASSERT_TRUE(prepared[0].known);

        server.stop();
        size_t before = log.lines().size();
        int id = 0;
        // The first call after the server went finds the connection lost; the later ones find it closed.
        EXPECT_FALSE(backend.checkDialedNumber("100", "0955")) << "refused while the database is down";
        EXPECT_FALSE(backend.checkDialedNumber("100", "0955")) << "refused while the connection is closed";
        EXPECT_FALSE(backend.CheckCallerId("100"));
        EXPECT_FALSE(backend.CheckPin("100", "1"));
        EXPECT_EQ(backend.GetUID("100"), -1);
        backend.SaveIncomingCall("100", 1, 1, "100", id);
        EXPECT_EQ(id, -1);
        EXPECT_EQ(backend.GetTransferCOS("100"), 1);
        auto lines = log.lines();
        std::vector<std::string> during(lines.begin() + long(before), lines.end());
        EXPECT_EQ(count(during, kNotOpened), 6) << "one per operation";
        EXPECT_EQ(
            count(during, "Warning: checkDialedNumber: the blacklist cannot be read, refusing number=0955"),
            1);
        EXPECT_EQ(std::count_if(
                      during.begin(), during.end(),
                      [](const std::string& l) { return l.rfind("Warning: Can't execute query.", 0) == 0; }),
                  1);
        EXPECT_EQ(during.size(), 10u) << "and nothing else but the blacklist's two debug lines";

        server.start();
        EXPECT_FALSE(backend.CheckCallerId("100")) << "this call reopens, the next one runs";
        EXPECT_TRUE(backend.CheckCallerId("100"));
        EXPECT_FALSE(backend.checkDialedNumber("100", "112"));
        EXPECT_TRUE(backend.checkDialedNumber("100", "0955")) << "the allowed path is back";
        backend.SaveIncomingCall("100", 1, 1, "100", id);
        EXPECT_EQ(id, 1);
        // The statements kept for incoming calls, prepared on the attachment that died, are made anew.
        std::vector<IDBBackend::IncomingCaller> callers{{"100"}};
        backend.CheckCallers(callers, false);
        EXPECT_EQ(callers[0].uid, 1);
        std::vector<IDBBackend::IncomingRow> rows{{"100", 1, 1, "100"}};
        backend.SaveIncomingCalls(rows);
        EXPECT_EQ(rows[0].id, 2);
    }
}

TEST(DBBackendSilentHost, FourCallersAtOnceAreAnsweredWithinTheBoundedWait)
{
    using Clock = std::chrono::steady_clock;
    // Far below the client library's own 180 s; the margin is for a loaded machine.
    const auto bound = std::chrono::seconds(DBBackend::kConnectTimeoutSeconds + 12);
    LogCapture log;
    SilentHost host;
    FbServerEnv silent;
    silent.port = host.port;
    CBSrvSettings settings = TestSettings(silent);
    DBBackend backend;
    backend.SetSettings(&settings);

    auto started = Clock::now();
    backend.OpenDatabase();
    EXPECT_LT(Clock::now() - started, bound) << "the start is not held up either";
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 1u);
    const std::string unanswered = "Error: The database server did not answer within " +
                                   std::to_string(DBBackend::kConnectTimeoutSeconds) + " s: ";
    EXPECT_EQ(lines.back().rfind(unanswered, 0), 0u) << lines.back();

    const size_t before = log.lines().size();
    const size_t connectionsBefore = host.Connections();
    std::atomic<int> waiting{4};
    std::vector<std::future<Clock::duration>> callers;
    std::atomic<int> wrong{0};
    for (int i = 0; i < 4; ++i)
        callers.push_back(std::async(std::launch::async, [&, i] {
            --waiting;
            while (waiting > 0)
                std::this_thread::yield();
            const auto start = Clock::now();
            int id = 0;
            switch (i) {
            case 0:
                wrong += backend.CheckCallerId("100");
                break;
            case 1:
                wrong += backend.checkDialedNumber("100", "0955");
                break;
            case 2:
                wrong += backend.CheckPin("100", "1");
                break;
            default:
                backend.SaveIncomingCall("100", -1, 0, "100", id);
                wrong += id != -1;
            }
            return Clock::now() - start;
        }));
    for (auto& caller : callers) {
        ASSERT_EQ(caller.wait_for(bound * 2), std::future_status::ready) << "a caller hangs";
        EXPECT_LT(caller.get(), bound);
    }
    EXPECT_EQ(wrong, 0) << "each gets the not-open answer; the blacklist refuses";
    lines = log.lines();
    EXPECT_EQ(count({lines.begin() + long(before), lines.end()}, kNotOpened), 4);
    EXPECT_EQ(host.Connections() - connectionsBefore, 1u) << "one reconnection for all four";
}

// The test server behind a host that falls silent under the open connection. The callers' wait is
// shortened to keep the cases short; the limits below are generous: they tell a wait for the host from
// none, not a fast answer from a slow one.
class DBBackendHostFallsSilent : public ::testing::Test
{
protected:
    static constexpr std::chrono::milliseconds kAnswerTimeout{1000};

    void SetUp() override
    {
        settings.DatabasePort = host.port;
        t.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '100', '1', 1, 'A', 1)");
    }
    void TearDown() override { host.Answer(); }

    // True when done within the limit; otherwise the host answers again, so that the waits end.
    bool eventually(const std::function<bool()>& done)
    {
        if (testsupport::WaitFor(done, std::chrono::seconds(30)))
            return true;
        host.Answer();
        return false;
    }
    template <class T>
    bool returns(std::future<T>& call)
    {
        return eventually([&] { return call.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    }
    long logged(const std::string& line) { return count(log.lines(), line); }

    const std::string noAnswer = "Warning: The database did not answer within 1 s";
    LogCapture log;
    TestDatabase t{TestDatabase::FullSchema};
    SilentHost host{t.server().port};
    CBSrvSettings settings = TestSettings(t.server());
};

TEST_F(DBBackendHostFallsSilent, CallersStopWaitingAndTheQueuedPauseAndResumeKeepTheirOrder)
{
    DBBackend backend(t.path(), kAnswerTimeout);
    backend.SetSettings(&settings);
    backend.OpenDatabase();
    ASSERT_TRUE(backend.CheckCallerId("100"));

    host.FallSilent();
    auto held = std::async(std::launch::async, [&] { return backend.CheckCallerId("100"); });
    ASSERT_TRUE(returns(held)) << "the caller waits for the host";
    EXPECT_FALSE(held.get()) << "unanswered: not a subscriber";
    EXPECT_TRUE(host.Holding()) << "the statement is still on its way";
    // Behind the statement held up past the bound: answered without waiting for it.
    auto blacklist = std::async(std::launch::async, [&] { return backend.checkDialedNumber("100", "0955"); });
    ASSERT_TRUE(returns(blacklist));
    EXPECT_FALSE(blacklist.get()) << "a blacklist that cannot be read refuses";
    EXPECT_EQ(logged("Warning: checkDialedNumber: the blacklist cannot be read, refusing number=0955"), 1);
    // Pause and resume wait in turn behind it and happen once it is through, in that order.
    auto pauseAndResume = std::async(std::launch::async, [&] {
        backend.CloseDatabase();
        backend.OpenDatabase();
    });
    ASSERT_TRUE(returns(pauseAndResume));
    EXPECT_EQ(logged(noAnswer), 4);
    EXPECT_EQ(logged("Informational: Connected to database "), 1);

    host.Answer();
    ASSERT_TRUE(eventually([&] { return logged("Informational: Connected to database ") == 2; }));
    EXPECT_TRUE(backend.CheckCallerId("100")) << "resumed after the pause, not paused after the resume";
    EXPECT_EQ(logged(noAnswer), 4);
    EXPECT_EQ(logged(kNotOpened), 0);
}

TEST_F(DBBackendHostFallsSilent, DestroyedWhileACallWaitsForTheHost)
{
    auto owner = std::make_unique<DBBackend>(t.path(), kAnswerTimeout);
    DBBackend* backend = owner.get();
    backend->SetSettings(&settings);
    backend->OpenDatabase();
    const QString connection = backend->ConnectionName();
    ASSERT_TRUE(backend->CheckCallerId("100"));

    host.FallSilent();
    auto call = std::async(std::launch::async, [backend] {
        int id = 0;
        backend->SaveIncomingCall("100", 1, 1, "100", id);
        return id;
    });
    ASSERT_TRUE(eventually([&] { return host.Holding(); })) << "the call's statement reaches the host";
    auto destroyed = std::async(std::launch::async, [&] { owner.reset(); });
    ASSERT_TRUE(returns(destroyed)) << "the destructor waits for the host";
    ASSERT_TRUE(returns(call));
    EXPECT_EQ(call.get(), -1) << "the call in flight had its answer before the object went";
    EXPECT_TRUE(QSqlDatabase::contains(connection)) << "the database thread is still held up in the statement";

    host.Answer();
    EXPECT_TRUE(eventually([&] { return !QSqlDatabase::contains(connection); }))
        << "the thread closes its connection and ends by itself";
}

} // namespace
