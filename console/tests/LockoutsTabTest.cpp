// The Lockouts tab as an operator sees it: the locked caller IDs only (not a count still running, not a
// lock that ran out), kept current by the table's event when the service locks someone, and the Unlock
// button letting the selected caller in again. A database without the lockout's table shows no tab.
#include "console/Application.h"
#include "console/LockoutsTab.h"
#include "console/Selvdesk.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <QDateTime>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

namespace {

// "name|caller ID|failures" of every listed lock, in the tab's order.
QStringList Listed(const LockoutsTab* tab)
{
    QStringList rows;
    const QSqlQueryModel* model = tab->model();
    for (int row = 0; row < model->rowCount(); ++row)
        rows << QString("%1|%2|%3")
                    .arg(model->index(row, LockoutsTab::Name).data().toString(),
                         model->index(row, LockoutsTab::CallerId).data().toString())
                    .arg(model->index(row, LockoutsTab::Failures).data().toInt());
    return rows;
}

QStringList TabTexts(const QTabWidget* tabs)
{
    QStringList texts;
    for (int i = 0; i < tabs->count(); ++i)
        texts << tabs->tabText(i);
    return texts;
}

} // namespace

class LockoutsTabTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;

    static QString lock(const QString& callerId, const QString& uid, int failures, const QString& until)
    {
        return "INSERT INTO PINLOCKOUTS (CALLERID, UID, FAILURES, FIRST_FAILURE, LAST_FAILURE, LOCKED_UNTIL) VALUES ('" +
               callerId + "', " + uid + ", " + QString::number(failures) +
               ", CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, " + until + ")";
    }

private slots:
    void initTestCase() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void anOperatorSeesTheLockedCallersAndUnlocksOne()
    {
        TestDatabase database;
        QSqlDatabase service = database.connect();
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '71', '1', 1, 'Ann', 1)");
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (2, '72', '1', 1, 'Bob', 1)");
        consoletest::Exec(service, "INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (3, '73', '1', 1, 'Cy', 1)");
        consoletest::Exec(service, lock("71", "1", 3, "DATEADD(MINUTE, 60, CURRENT_TIMESTAMP)"));
        consoletest::Exec(service, lock("72", "2", 1, "NULL"));                                    // counting, not locked
        consoletest::Exec(service, lock("73", "3", 3, "DATEADD(MINUTE, -1, CURRENT_TIMESTAMP)")); // ran out
        consoletest::ServerAccount account(database, "op-pass");
        consoletest::Exec(database.db(), "GRANT MANAGER TO " + account.name());

        Selvdesk window;
        window.resize(900, 600);
        window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(consoletest::WaitUntilSubscribed(service, {"pinlockouts_change"}));
        auto* tabs = window.findChild<QTabWidget*>("tabWidget");
        QVERIFY(TabTexts(tabs).contains("Lockouts"));
        LockoutsTab* tab = window.lockoutsTab();
        QVERIFY(tab);
        tabs->setCurrentWidget(tab);
        QCOMPARE(Listed(tab), QStringList{"Ann|71|3"});
        const QDateTime until = tab->model()->index(0, LockoutsTab::LockedUntil).data().toDateTime();
        QVERIFY2(until > QDateTime::currentDateTime().addSecs(3500), qPrintable(until.toString()));

        // The service locks Bob out: the event brings him into the list, the longest lock first.
        consoletest::Exec(service, "UPDATE PINLOCKOUTS SET FAILURES = 2, LOCKED_UNTIL = DATEADD(MINUTE, 90, CURRENT_TIMESTAMP) "
                      "WHERE CALLERID = '72'");
        QTRY_COMPARE_WITH_TIMEOUT(Listed(tab), (QStringList{"Bob|72|2", "Ann|71|3"}), 10000);

        // The operator selects Ann and unlocks her: her row is gone from the table and the list.
        auto* view = tab->findChild<QTableView*>("viewLockouts");
        auto* unlock = tab->findChild<QPushButton*>("pbUnlock");
        QVERIFY(view && unlock && unlock->isEnabled());
        consoletest::ModalDriver driver;
        view->selectRow(1);
        QTest::mouseClick(unlock, Qt::LeftButton);
        QCOMPARE(Listed(tab), QStringList{"Bob|72|2"});
        QCOMPARE(database.row("SELECT COUNT(*) FROM PINLOCKOUTS WHERE CALLERID = '71'").value(0).toInt(), 0);
        QCOMPARE(driver.unexpected(), 0); // the role's rights suffice: no refusal shown

        // Nothing selected: the button does nothing.
        view->clearSelection();
        QTest::mouseClick(unlock, Qt::LeftButton);
        QCOMPARE(Listed(tab), QStringList{"Bob|72|2"});
    }

    void aDatabaseWithoutTheLockoutTableShowsNoTab()
    {
        TestDatabase database(TestDatabase::BaseSchema);
        consoletest::ServerAccount account(database, "op-pass");
        consoletest::Exec(database.db(), "GRANT MANAGER TO " + account.name());
        Selvdesk window;
        window.setDatabase(consoletest::ConsoleConnection(database, account.name(), account.password()));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!window.lockoutsTab());
        QVERIFY(!TabTexts(window.findChild<QTabWidget*>("tabWidget")).contains("Lockouts"));
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    LockoutsTabTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "LockoutsTabTest.moc"
