// The schema statement table, and the schema it builds on a real Firebird server.
#include "common/Firebird.h"
#include "common/Schema.h"
#include "tests/support/TestDatabase.h"

#include <QSignalSpy>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <set>
#include <thread>

namespace {

std::set<std::string> keysOf(Schema::ObjectKind kind)
{
    std::set<std::string> keys;
    for (const auto& object : Schema::Objects)
        if (object.kind == kind)
            keys.insert(std::string(object.key));
    return keys;
}

template <size_t N> std::set<std::string> setOf(const std::array<std::string_view, N>& names)
{
    return {names.begin(), names.end()};
}

TEST(SchemaTable, ListsAndTableAgree)
{
    EXPECT_EQ(keysOf(Schema::ObjectKind::Table), setOf(Schema::Tables));
    EXPECT_EQ(keysOf(Schema::ObjectKind::Generator), setOf(Schema::Generators));
    EXPECT_EQ(keysOf(Schema::ObjectKind::Trigger), setOf(Schema::Triggers));
    EXPECT_EQ(keysOf(Schema::ObjectKind::Role), std::set<std::string>{"manager"});
    EXPECT_EQ(keysOf(Schema::ObjectKind::Right), setOf(Schema::Rights));
    EXPECT_EQ(keysOf(Schema::ObjectKind::Index), setOf(Schema::Indices));
    // The rights follow the role, and the indices come last, so a repair that follows the table's
    // order has their triggers and tables in place.
    EXPECT_EQ(Schema::Objects[Schema::Objects.size() - Schema::Indices.size() - Schema::Rights.size() - 1].kind,
              Schema::ObjectKind::Role);
    EXPECT_EQ(Schema::Objects[Schema::Objects.size() - Schema::Indices.size() - 1].kind, Schema::ObjectKind::Right);
    for (const auto& object : Schema::Objects) {
        std::string upper(object.key);
        for (char& c : upper)
            c = char(toupper(c));
        EXPECT_EQ(object.name, upper);
        EXPECT_NE(object.statement.find(object.name), std::string_view::npos) << object.key;
        EXPECT_EQ(Schema::Statement(object.key), object.statement);
    }
    EXPECT_TRUE(Schema::Statement("USERS").empty()) << "keys are lower case";
    EXPECT_TRUE(Schema::Statement("nosuch").empty());
    std::string_view update = Schema::Statement("user_update");
    EXPECT_EQ(std::count(update.begin(), update.end(), '\t'), 10) << "USER_UPDATE keeps its tab characters";
}

TEST(SchemaTable, CreateDatabaseStatement)
{
    EXPECT_EQ(Schema::CreateDatabaseStatement("localhost/3050:NORVEL_CALLBACK", "SYSDBA", "masterkey"),
              "CREATE DATABASE  'localhost/3050:NORVEL_CALLBACK' USER 'SYSDBA' PASSWORD 'masterkey' DEFAULT "
              "CHARACTER SET UNICODE_FSS");
    EXPECT_EQ(Schema::DatabaseLocation("db.local", 3050, "NORVEL_CALLBACK"), "db.local/3050:NORVEL_CALLBACK");
    EXPECT_EQ(Schema::DatabaseLocation("db.local", 0, "NORVEL_CALLBACK"), "db.local:NORVEL_CALLBACK");
    // A quote stays inside its literal: nothing after it becomes part of the statement.
    EXPECT_EQ(Schema::CreateDatabaseStatement("h:x", "a' PASSWORD 'b", "p'"),
              "CREATE DATABASE  'h:x' USER 'a'' PASSWORD ''b' PASSWORD 'p''' DEFAULT CHARACTER SET UNICODE_FSS");
}

std::string trimmed(const QString& text) { return text.trimmed().toStdString(); }

std::set<std::string> names(QSqlDatabase db, const QString& sql)
{
    std::set<std::string> out;
    QSqlQuery query(db);
    EXPECT_TRUE(query.exec(sql)) << query.lastError().text().toStdString();
    while (query.next())
        out.insert(trimmed(query.value(0).toString()));
    return out;
}

std::set<std::string> upper(std::set<std::string> keys)
{
    std::set<std::string> out;
    for (std::string key : keys) {
        for (char& c : key)
            c = char(toupper(c));
        out.insert(key);
    }
    return out;
}

TEST(SchemaOnServer, BuildsEveryObjectAndGrant)
{
    TestDatabase t(TestDatabase::BaseSchema);
    QSqlDatabase db = t.db();
    EXPECT_EQ(names(db, "SELECT RDB$RELATION_NAME FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG=0"),
              upper(setOf(Schema::Tables)));
    EXPECT_EQ(names(db, "SELECT RDB$GENERATOR_NAME FROM RDB$GENERATORS WHERE RDB$SYSTEM_FLAG=0"),
              upper(setOf(Schema::Generators)));
    EXPECT_EQ(names(db, "SELECT RDB$TRIGGER_NAME FROM RDB$TRIGGERS WHERE RDB$SYSTEM_FLAG=0"),
              upper(setOf(Schema::Triggers)));
    EXPECT_EQ(names(db, "SELECT RDB$ROLE_NAME FROM RDB$ROLES WHERE RDB$SYSTEM_FLAG=0"),
              std::set<std::string>{"MANAGER"});
    EXPECT_EQ(names(db, "SELECT RDB$INDEX_NAME FROM RDB$INDICES WHERE RDB$INDEX_NAME NOT STARTING WITH 'RDB$' "
                        "AND RDB$SYSTEM_FLAG=0"),
              upper(setOf(Schema::Indices)));
    // Newest first needs a descending index: the primary key's own index only walks upwards.
    EXPECT_EQ(names(db, "SELECT RDB$INDEX_NAME FROM RDB$INDICES WHERE RDB$INDEX_TYPE=1 AND "
                        "RDB$RELATION_NAME='INCOMINGLOG'"),
              std::set<std::string>{"IDX_INCOMINGLOG_NEWEST"});
    EXPECT_EQ(names(db, "SELECT TRIM(RDB$RELATION_NAME) || ':' || TRIM(RDB$PRIVILEGE) FROM RDB$USER_PRIVILEGES "
                        "WHERE RDB$USER='MANAGER' AND RDB$USER_TYPE=13"),
              (std::set<std::string>{"INCOMINGLOG:S", "OUTGOINGLOG:S", "QUEUE:S", "USERS:S", "USERS:I", "USERS:U",
                                     "CALLSLOG:S", "BLACKLIST:S", "BLACKLIST:I", "BLACKLIST:U", "BLACKLIST:D"}));
    // The catalogue gives the triggers' rights back under their names.
    EXPECT_EQ(names(db, QString::fromLatin1(Schema::RightsQuery.data(), qsizetype(Schema::RightsQuery.size()))),
              upper(setOf(Schema::Rights)));

    // The server keeps each trigger's body from "AS" on, without the closing semicolon.
    QSqlQuery query(db);
    for (std::string_view key : Schema::Triggers) {
        std::string statement(Schema::Statement(key));
        size_t as = statement.find("AS", statement.find("POSITION 0"));
        std::string body = statement.substr(as);
        while (!body.empty() && (body.back() == ';' || body.back() == ' '))
            body.pop_back();
        query.prepare("SELECT RDB$TRIGGER_SOURCE FROM RDB$TRIGGERS WHERE RDB$TRIGGER_NAME=:name");
        query.bindValue(":name", QString::fromLatin1(Schema::Find(key)->name.data(),
                                                     qsizetype(Schema::Find(key)->name.size())));
        ASSERT_TRUE(query.exec() && query.next()) << key;
        EXPECT_EQ(query.value(0).toString().toStdString(), body) << key;
    }
}

// Each optional object's probe tells it apart: absent from the base schema, present once its statement ran
// (in list order, so each finds what it builds on).
TEST(SchemaOnServer, OptionalObjectsAreFoundByTheirProbes)
{
    TestDatabase t(TestDatabase::BaseSchema);
    auto probe = [&t](const Schema::OptionalObject& object) {
        return t.row(QString::fromLatin1(object.probe.data(), qsizetype(object.probe.size()))).value(0).toInt();
    };
    std::set<std::string_view> keys;
    for (const Schema::OptionalObject& object : Schema::OptionalObjects) {
        EXPECT_TRUE(keys.insert(object.key).second) << "keys are unique: " << object.key;
        EXPECT_EQ(Schema::FindOptional(object.key), &object);
        EXPECT_FALSE(object.feature.empty()) << object.key;
        EXPECT_EQ(probe(object), 0) << object.key;
        t.exec(QString::fromLatin1(object.statement.data(), qsizetype(object.statement.size())));
        EXPECT_GT(probe(object), 0) << object.key;
    }
}

class SchemaBehaviour : public ::testing::Test
{
protected:
    void SetUp() override
    {
        listener = t.connect();
        QSqlDriver* driver = listener.driver();
        for (std::string_view event : Schema::Events)
            ASSERT_TRUE(driver->subscribeToNotification(QString::fromLatin1(event.data(), qsizetype(event.size()))))
                << event << ": " << driver->lastError().text().toStdString();
        spy = std::make_unique<QSignalSpy>(
            driver, qOverload<const QString&, QSqlDriver::NotificationSource, const QVariant&>(
                        &QSqlDriver::notification));
        // The driver takes the first callback of each subscription for its start and drops it, and
        // that callback may come late: post every event until each has been seen once, so a test's
        // first change is never the one dropped.
        std::set<QString> seen;
        for (int round = 0; round < 50 && seen.size() < Schema::Events.size(); ++round) {
            QString block = "EXECUTE BLOCK AS BEGIN ";
            for (std::string_view event : Schema::Events)
                block += QString("POST_EVENT '%1'; ").arg(QString::fromLatin1(event.data(), qsizetype(event.size())));
            exec(block + "END");
            spy->wait(200);
            for (const QList<QVariant>& signal : *spy)
                seen.insert(signal.at(0).toString());
            spy->clear();
        }
        ASSERT_EQ(seen.size(), Schema::Events.size()) << "every subscription delivers";
        while (spy->wait(300)) // the last round's stragglers
            spy->clear();
    }
    void TearDown() override { spy.reset(); }

    void exec(const QString& sql)
    {
        QSqlQuery query(t.db());
        ASSERT_TRUE(query.exec(sql)) << sql.toStdString() << ": " << query.lastError().text().toStdString();
    }
    // Waits for the next notification and returns its name.
    std::string nextEvent()
    {
        if (spy->isEmpty() && !spy->wait(10000))
            return "(none)";
        return spy->takeFirst().at(0).toString().toStdString();
    }
    std::vector<std::string> column(const QString& sql)
    {
        std::vector<std::string> out;
        QSqlQuery query(t.db());
        EXPECT_TRUE(query.exec(sql)) << query.lastError().text().toStdString();
        while (query.next())
            out.push_back(trimmed(query.value(0).toString()));
        return out;
    }

    TestDatabase t{TestDatabase::FullSchema};
    QSqlDatabase listener;
    std::unique_ptr<QSignalSpy> spy;
};

TEST_F(SchemaBehaviour, SubscriberChangesAreAuditedAndPosted)
{
    exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('100', '1', 1, 'A', 1)");
    EXPECT_EQ(column("SELECT ID FROM USERS"), std::vector<std::string>{"1"}) << "ID from NEW_USER_ID";
    EXPECT_EQ(nextEvent(), "user_insert");
    exec("UPDATE USERS SET IS_ACTIVE=0 WHERE ID=1");
    EXPECT_EQ(nextEvent(), "user_update");
    exec("UPDATE USERS SET IS_ACTIVE=1 WHERE ID=1");
    EXPECT_EQ(nextEvent(), "user_update");
    exec("UPDATE USERS SET NAME='B' WHERE ID=1");
    EXPECT_EQ(nextEvent(), "user_update");
    EXPECT_EQ(column("SELECT OPERATION FROM DBLOG WHERE UID=1 ORDER BY ID"),
              (std::vector<std::string>{"insert", "active_off", "active_on", "update"}));
    EXPECT_EQ(column("SELECT DISTINCT DBUSER FROM DBLOG"), std::vector<std::string>{"SYSDBA"});

    exec("INSERT INTO USERS (ID, CALLERID, NAME, IS_ACTIVE) VALUES (50, '200', 'C', 1)");
    EXPECT_EQ(column("SELECT ID FROM USERS WHERE CALLERID='200'"), std::vector<std::string>{"50"})
        << "an ID given by the statement is kept";
}

TEST_F(SchemaBehaviour, IncomingLogAndBlacklist)
{
    // A blacklist insert posts nothing: the next event to arrive is the incoming log's.
    exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '112')");
    EXPECT_EQ(column("SELECT ID FROM BLACKLIST"), std::vector<std::string>{"1"});
    exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) "
         "VALUES (gen_id(NEW_INCOMING_ID,1), current_timestamp, '300', NULL, 0, '300')");
    EXPECT_EQ(nextEvent(), "incominglog_insert");
    exec("UPDATE INCOMINGLOG SET RESULT=2");
    EXPECT_EQ(nextEvent(), "incominglog_update");
    exec("DELETE FROM INCOMINGLOG");
    EXPECT_EQ(nextEvent(), "incominglog_delete");
    EXPECT_TRUE(spy->isEmpty());
}

TEST_F(SchemaBehaviour, QueueEventsAndReferencedSubscriberKept)
{
    exec("INSERT INTO USERS (CALLERID, NAME, IS_ACTIVE) VALUES ('100', 'A', 1)");
    EXPECT_EQ(nextEvent(), "user_insert");
    exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) "
         "VALUES (gen_id(NEW_INCOMING_ID,1), current_timestamp, '100', 1, 1, '100')");
    EXPECT_EQ(nextEvent(), "incominglog_insert");
    exec("INSERT INTO QUEUE (ID, CID, UID, CALL_BEGIN, ATTEMPTS) VALUES (1, 1, 1, current_timestamp, 0)");
    EXPECT_EQ(nextEvent(), "queue_insert");
    exec("UPDATE QUEUE SET ATTEMPTS=1");
    EXPECT_EQ(nextEvent(), "queue_update");
    exec("DELETE FROM QUEUE");
    EXPECT_EQ(nextEvent(), "queue_delete");

    QSqlQuery del(t.db());
    EXPECT_FALSE(del.exec("DELETE FROM USERS WHERE ID=1")) << "subscribers referenced by the logs stay";
    EXPECT_EQ(column("SELECT COUNT(*) FROM USERS"), std::vector<std::string>{"1"});
}

TEST(FirebirdCreate, ReportsTheServersError)
{
    FbServerEnv server = FbServerEnv::fromEnvironment();
    QString path = TestDatabase::uniquePath(server);
    std::string location = Schema::DatabaseLocation("127.0.0.1", server.port, path.toStdString());
    std::string error;
    EXPECT_FALSE(firebird::CreateDatabase(
        Schema::CreateDatabaseStatement(location, server.user.toStdString(), "wrong password"), error));
    EXPECT_NE(error.find("user name and password are not defined"), std::string::npos) << error;

    ASSERT_TRUE(firebird::CreateDatabase(
        Schema::CreateDatabaseStatement(location, server.user.toStdString(), server.password.toStdString()),
        error))
        << error;
    EXPECT_FALSE(firebird::CreateDatabase(
        Schema::CreateDatabaseStatement(location, server.user.toStdString(), server.password.toStdString()),
        error))
        << "the file exists already";
    EXPECT_FALSE(error.empty());
    TestDatabase::drop(server, path);
}

// Once attached, the client library handles SIGTERM itself (a process without a handler no longer ends
// on it) and, unless told not to, ends every attachment from a thread of its own.
TEST(FirebirdSignals, AStopSignalLeavesTheAttachmentsToTheProgram)
{
    firebird::KeepAttachmentsOnSignals();
    TestDatabase t(TestDatabase::Empty);
    ASSERT_EQ(raise(SIGTERM), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // what the library's thread would take
    QSqlQuery q(t.db());
    EXPECT_TRUE(q.exec("SELECT 1 FROM RDB$DATABASE") && q.next()) << q.lastError().text().toStdString();
}

} // namespace
