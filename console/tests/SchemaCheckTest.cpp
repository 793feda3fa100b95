// The main window's schema check and repair against real databases on the test server.
#include "common/Schema.h"
#include "console/Application.h"
#include "console/IncomingLogModel.h"
#include "console/Selvdesk.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>

using consoletest::DiagnosticLines;
using consoletest::ModalDriver;
using consoletest::PressOk;

namespace {
const char* const kOwnIndices = "SELECT RDB$INDEX_NAME FROM RDB$INDICES WHERE RDB$SYSTEM_FLAG=0 AND RDB$INDEX_NAME NOT "
                                "STARTING WITH 'RDB$'";

std::set<QString> Catalogue(QSqlDatabase db, const QString& sql)
{
    std::set<QString> names;
    QSqlQuery query(db);
    query.exec(sql);
    while (query.next())
        names.insert(query.value(0).toString().trimmed().toLower());
    return names;
}

QString Text(std::string_view text) { return QString::fromLatin1(text.data(), qsizetype(text.size())); }
QString RightsQuery() { return Text(Schema::RightsQuery); }

// The details line of the triggers' rights, all missing.
const QString kRightsLine = [] {
    QStringList rights;
    for (std::string_view key : Schema::Rights)
        rights << Text(key);
    return "Missing rights: '" + rights.join("', '") + "'.\n";
}();

// The details line of the optional objects, all missing (a function: the list is built at start-up
// in another file).
QString OptionalLine()
{
    QStringList keys;
    for (const Schema::OptionalObject& object : Schema::OptionalObjects)
        keys << Text(object.key);
    return "Missing optional objects: '" + keys.join("', '") + "'.\n";
}

// Runs the application's loop until the window asks it to quit; returns the exit code, or -1. Only the
// application's own loop clears the quit request, so a later dialog's loop is not ended by it.
int QuitCode()
{
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    deadline.start(5000);
    return QCoreApplication::exec();
}
} // namespace

class SchemaCheckTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;

private slots:
    void initTestCase() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void aCompleteSchemaPassesSilently()
    {
        TestDatabase database;
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        ModalDriver driver;
        QVERIFY(window.checkDatabase()); // blank-padded upper-case catalogue names match
        QTest::qWait(50);
        QCOMPARE(driver.seen(), QStringList());
    }

    void anEmptyDatabaseIsBuiltByTheAdministratorInCreationOrder()
    {
        TestDatabase database(TestDatabase::Empty);
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, "sysdba", server.password)); // any letter case
        ModalDriver driver;
        driver.expect(PressOk());
        driver.expect(PressOk());
        DiagnosticLines lines;
        QVERIFY(window.checkDatabase());

        QCOMPARE(driver.seen().size(), 2);
        QCOMPARE(driver.seen().at(0),
                 QString("Database critical error | Application database is missing or corrupted.\n"
                         "Missing tables: 'users', 'incominglog', 'outgoinglog', 'dblog', 'queue', 'callslog', 'blacklist'.\n"
                         "Missing generators: 'new_user_id', 'new_log_id', 'new_incoming_id', 'new_outgoing_id', "
                         "'new_queue_id', 'new_callslog_id', 'new_blacklist_id'.\n"
                         "Missing triggers: 'user_insert', 'user_insert2', 'user_update', 'queue_update', 'queue_insert', "
                         "'queue_delete', 'incominglog_update', 'incominglog_insert', 'incominglog_delete', "
                         "'blacklist_insert'.\n"
                         "Missing roles: 'manager'.\n" +
                         kRightsLine + "Missing indices: 'idx_users_callerid', 'idx_incominglog_newest'.\n" +
                         OptionalLine() + " Now we will try to repair database. | "));
        QCOMPARE(driver.seen().at(1),
                 QString("Database repaired | Application database was successfully restored. | "));

        QStringList created;
        for (const QString& line : lines.lines()) {
            if (line.endsWith(" created"))
                created << line.section(' ', 1, -2);
        }
        QStringList expected;
        for (const Schema::Object& object : Schema::Objects)
            expected << QString::fromLatin1(object.key.data(), qsizetype(object.key.size()));
        for (const Schema::OptionalObject& object : Schema::OptionalObjects)
            expected << Text(object.key);
        QCOMPARE(created, expected);
        QCOMPARE(lines.find("Grant statement successfully executed.").isEmpty(), false);

        QSqlDatabase db = database.connect();
        QCOMPARE(Catalogue(db, "SELECT RDB$RELATION_NAME FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG=0").size(),
                 size_t(8)); // and the PIN lockout's table
        QCOMPARE(Catalogue(db, "SELECT RDB$TRIGGER_NAME FROM RDB$TRIGGERS WHERE RDB$SYSTEM_FLAG=0").size(),
                 Schema::Triggers.size() + 3); // and the outgoing log's two, the PIN lockout's one
        QCOMPARE(Catalogue(db, kOwnIndices), (std::set<QString>{"idx_users_callerid", "idx_incominglog_newest"}));
        QCOMPARE(Catalogue(db, "SELECT TRIM(RDB$RELATION_NAME) || ':' || TRIM(RDB$PRIVILEGE) FROM RDB$USER_PRIVILEGES "
                               "WHERE RDB$USER='MANAGER'")
                     .size(),
                 size_t(13)); // the PIN lockout's table: SELECT and DELETE
        // The rebuilt schema works: the foreign keys resolved and the triggers number the rows.
        QSqlQuery query(db);
        QVERIFY(query.exec("INSERT INTO USERS (CALLERID, NAME, IS_ACTIVE) VALUES ('100', 'A', 1)"));
        QVERIFY(query.exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) "
                           "VALUES (gen_id(NEW_INCOMING_ID,1), current_timestamp, '100', 1, 1, '100')"));
    }

    void anotherUserIsToldWhatIsMissingAndTheConsoleQuits()
    {
        TestDatabase database(TestDatabase::Empty);
        consoletest::ServerAccount account(database, "op-pass");
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
        ModalDriver driver;
        driver.expect(PressOk());
        window.show(); // the showing runs the check
        QCOMPARE(QuitCode(), 0);
        QCOMPARE(driver.seen().size(), 1);
        QVERIFY2(driver.seen().at(0).startsWith("Database critical error | Application database is missing or corrupted.\n"
                                                "Missing tables: 'users', "),
                 qPrintable(driver.seen().at(0)));
        QVERIFY(driver.seen().at(0).endsWith("Missing roles: 'manager'.\n" + kRightsLine +
                                             "Missing indices: 'idx_users_callerid', 'idx_incominglog_newest'.\n" +
                                             OptionalLine() + "You need to log in as SYSDBA to repair your database. | "));
        QVERIFY(database.db().tables().isEmpty()); // nothing was created
    }

    void onlyOneMissingTriggerGivesOneDetailsLine()
    {
        TestDatabase database;
        QSqlQuery drop(database.db());
        QVERIFY2(drop.exec("DROP TRIGGER QUEUE_UPDATE"), qPrintable(drop.lastError().text()));
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        ModalDriver driver;
        driver.expect(PressOk());
        driver.expect(PressOk());
        QVERIFY(window.checkDatabase());
        QCOMPARE(driver.seen().value(0), QString("Database critical error | Application database is missing or "
                                                 "corrupted.\nMissing triggers: 'queue_update'.\n Now we will try to "
                                                 "repair database. | "));
        QVERIFY(Catalogue(database.db(), "SELECT RDB$TRIGGER_NAME FROM RDB$TRIGGERS").count("queue_update"));
    }

    // A trigger's rights go with it, so a dropped trigger comes back with them.
    void aDroppedTriggerComesBackWithItsRights()
    {
        TestDatabase database;
        QSqlQuery drop(database.db());
        QVERIFY2(drop.exec("DROP TRIGGER USER_UPDATE"), qPrintable(drop.lastError().text()));
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        ModalDriver driver;
        driver.expect(PressOk());
        driver.expect(PressOk());
        QVERIFY(window.checkDatabase());
        QCOMPARE(driver.seen().value(0),
                 QString("Database critical error | Application database is missing or corrupted.\nMissing triggers: "
                         "'user_update'.\nMissing rights: 'usage on generator new_log_id to trigger user_update', "
                         "'insert on table dblog to trigger user_update'.\n Now we will try to repair database. | "));
        QCOMPARE(Catalogue(database.db(), RightsQuery()).size(), Schema::Rights.size());
    }

    // A database built before the triggers had rights of their own: operators cannot write subscribers
    // there. The administrator's next login adds the rights; an operator is sent to the administrator.
    void aDatabaseWithoutTheTriggersRightsIsRepairedToHaveThem()
    {
        TestDatabase database;
        for (std::string_view key : Schema::Rights) {
            const QString right = QString::fromLatin1(key.data(), qsizetype(key.size()));
            QSqlQuery revoke(database.db());
            QVERIFY2(revoke.exec("REVOKE " + right.section(" to ", 0, 0) + " FROM " + right.section(" to ", 1)),
                     qPrintable(revoke.lastError().text()));
        }
        QCOMPARE(Catalogue(database.db(), RightsQuery()).size(), size_t(0));
        consoletest::ServerAccount account(database, "op-pass");
        QVERIFY(QSqlQuery(database.db()).exec("GRANT MANAGER TO " + account.name()));
        auto operatorInserts = [&](const QString& callerId) {
            QSqlDatabase db = consoletest::ConsoleConnection(database, account.name(), account.password());
            QSqlQuery insert(db);
            const bool ok = insert.exec("INSERT INTO USERS (CALLERID, NAME, IS_ACTIVE) VALUES ('" + callerId + "', 'x', 1)");
            db.close();
            return ok;
        };
        QVERIFY(!operatorInserts("100"));

        {
            Selvdesk window;
            window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
            ModalDriver driver;
            driver.expect(PressOk());
            window.show();
            QCOMPARE(QuitCode(), 0);
            QCOMPARE(driver.seen().value(0), QString("Database critical error | Application database is missing or "
                                                     "corrupted.\n") + kRightsLine +
                                                 "You need to log in as SYSDBA to repair your database. | ");
        }
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        ModalDriver driver;
        driver.expect(PressOk());
        driver.expect(PressOk());
        QVERIFY(window.checkDatabase());
        QCOMPARE(driver.seen().value(1), QString("Database repaired | Application database was successfully restored. | "));
        QCOMPARE(Catalogue(database.db(), RightsQuery()).size(), Schema::Rights.size());
        QVERIFY(operatorInserts("100"));
        QCOMPARE(Catalogue(database.db(), "SELECT DBUSER || ':' || OPERATION FROM DBLOG"),
                 (std::set<QString>{account.name().toLower() + ":insert"}));
        QCOMPARE(driver.unexpected(), 0);
    }

    // A database built before the indices existed: operators work on (slower) and are told who can
    // help; the administrator's login adds exactly what is missing, after which the note is gone.
    void aDatabaseWithoutIndicesWorksForOperatorsAndTheAdministratorAddsThem()
    {
        TestDatabase database;
        QSqlQuery drop(database.db());
        QVERIFY2(drop.exec("DROP INDEX IDX_USERS_CALLERID"), qPrintable(drop.lastError().text()));
        QVERIFY2(drop.exec("DROP INDEX IDX_INCOMINGLOG_NEWEST"), qPrintable(drop.lastError().text()));
        database.db().commit();
        QVERIFY(Catalogue(database.db(), kOwnIndices).empty());
        QVERIFY(QSqlQuery(database.db())
                    .exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('700', '1', 1, 'Bea', 1)"));
        QVERIFY(QSqlQuery(database.db())
                    .exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                          "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '700', 1, 1, '700')"));
        consoletest::ServerAccount account(database, "op-pass");
        QVERIFY(QSqlQuery(database.db()).exec("GRANT MANAGER TO " + account.name()));

        {
            auto window = std::make_unique<Selvdesk>();
            window->setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
            ModalDriver driver;
            DiagnosticLines lines;
            window->show();
            QTest::qWait(300); // a box or a quit request would come within this
            QCOMPARE(driver.seen(), QStringList());
            QVERIFY(window->incomingModel() && window->usersModel() && window->blacklistModel());
            QCOMPARE(window->incomingModel()->rowCount(), 1);
            QCOMPARE(window->incomingModel()->index(0, 3).data().toString(), QString("Bea"));
            auto* note = window->findChild<QLabel*>("labelMissingIndices");
            QVERIFY(note && note->isVisible());
            QVERIFY2(note->text().contains("idx_users_callerid, idx_incominglog_newest") && note->text().contains("SYSDBA"),
                     qPrintable(note->text()));
            QVERIFY(!lines.find("Index idx_users_callerid not exists").isEmpty());
            QVERIFY(Catalogue(database.db(), kOwnIndices).empty()); // nothing was tried
        }

        // Only one is missing when the administrator comes: the check names exactly that one. The
        // service runs on meanwhile, in the middle of writing a call: the index waits for its commit.
        QVERIFY(QSqlQuery(database.db()).exec("CREATE INDEX IDX_USERS_CALLERID ON USERS (CALLERID)"));
        std::atomic<bool> writing{false}, wrote{false};
        std::thread service([&] {
            const QString name = "schema-test-service";
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QIBASE", name);
                db.setHostName(server.host);
                db.setPort(server.port);
                db.setDatabaseName(database.path());
                db.setUserName(server.user);
                db.setPassword(server.password);
                if (db.open() && db.transaction() &&
                    QSqlQuery(db).exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                                       "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '700', 1, 1, '700')")) {
                    writing = true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(700)); // the repair starts meanwhile
                    wrote = db.commit();
                }
                writing = true;
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
        });
        QTRY_VERIFY_WITH_TIMEOUT(writing, 10000);
        {
            Selvdesk window;
            window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
            ModalDriver driver;
            driver.expect(PressOk());
            driver.expect(PressOk());
            QVERIFY(window.checkDatabase());
            QCOMPARE(driver.seen().value(0), QString("Database critical error | Application database is missing or "
                                                     "corrupted.\nMissing indices: 'idx_incominglog_newest'.\n Now we "
                                                     "will try to repair database. | "));
            QCOMPARE(driver.seen().value(1), QString("Database repaired | Application database was successfully restored. | "));
        }
        service.join();
        QVERIFY(wrote);
        QCOMPARE(Catalogue(database.db(), kOwnIndices), (std::set<QString>{"idx_users_callerid", "idx_incominglog_newest"}));

        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
        ModalDriver driver;
        window.show();
        QTest::qWait(100);
        QCOMPARE(driver.seen(), QStringList());
        QVERIFY(!window.findChild<QLabel*>("labelMissingIndices")->isVisible());
    }

    // A database built before the newer features: operators work on and are told who can add what
    // they lack; the administrator's login adds the objects, and the note is gone.
    void aDatabaseWithoutTheOptionalObjectsWorksOnAndTheAdministratorAddsThem()
    {
        TestDatabase database(TestDatabase::BaseSchema);
        consoletest::ServerAccount account(database, "op-pass");
        QVERIFY(QSqlQuery(database.db()).exec("GRANT MANAGER TO " + account.name()));
        {
            Selvdesk window;
            window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
            ModalDriver driver;
            window.show();
            QTest::qWait(300);
            QCOMPARE(driver.seen(), QStringList());
            QVERIFY(window.incomingModel() && window.usersModel());
            auto* note = window.findChild<QLabel*>("labelMissingOptional");
            QVERIFY(note && note->isVisible());
            QVERIFY2(note->text().contains(Text(Schema::OptionalObjects.front().key)), qPrintable(note->text()));
            QVERIFY(!window.findChild<QLabel*>("labelMissingIndices")->isVisible());
        }
        {
            Selvdesk window;
            window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
            ModalDriver driver;
            driver.expect(PressOk());
            driver.expect(PressOk());
            QVERIFY(window.checkDatabase());
            QCOMPARE(driver.seen().value(0), "Database critical error | Application database is missing or "
                                             "corrupted.\n" + OptionalLine() + " Now we will try to repair database. | ");
            QCOMPARE(driver.seen().value(1), QString("Database repaired | Application database was successfully restored. | "));
        }
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
        ModalDriver driver;
        window.show();
        QTest::qWait(100);
        QCOMPARE(driver.seen(), QStringList());
        QVERIFY(!window.findChild<QLabel*>("labelMissingOptional")->isVisible());
    }

    void aFailedCreationStillCreatesTheRestAndReportsFailure()
    {
        TestDatabase database(TestDatabase::Empty);
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, server.user, server.password));
        DiagnosticLines lines;
        ModalDriver driver;
        driver.expect(PressOk());
        driver.expect(PressOk());
        // An unknown name has no statement; the known ones after it are still created. Each failure
        // shows the server's reason.
        QVERIFY(!window.repairDatabase({"nosuchtable", "users"}, {"new_user_id"}, {}, {}));
        QVERIFY(!lines.find("Can't prepare SQL statement for execution").isEmpty());
        QCOMPARE(driver.seen().size(), 1);
        QVERIFY2(driver.seen().at(0).startsWith("Database error | The database did not carry out the operation. | "),
                 qPrintable(driver.seen().at(0)));
        QVERIFY(window.database().tables().contains("USERS"));
        QVERIFY(Catalogue(window.database(), "SELECT RDB$GENERATOR_NAME FROM RDB$GENERATORS").count("new_user_id"));
        QVERIFY2(!window.createTable("new_user_id"), "a key of another kind gives no table");
        QCOMPARE(driver.seen().size(), 2);
        QCOMPARE(driver.unexpected(), 0);
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    SchemaCheckTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SchemaCheckTest.moc"
