// The main window over a real database: subscribers, blacklist patterns and the live incoming log.
#include "console/Application.h"
#include "console/DBUsersDialog.h"
#include "console/IncomingLogModel.h"
#include "console/Selvdesk.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

#include <memory>

using consoletest::DiagnosticLines;
using consoletest::ModalDriver;
using consoletest::PressCancel;
using consoletest::PressOk;

namespace {
// Rows of one query as "a|b|c" texts.
QStringList Rows(QSqlDatabase db, const QString& sql)
{
    QStringList rows;
    QSqlQuery query(db);
    if (!query.exec(sql))
        return {"error: " + query.lastError().text()};
    while (query.next()) {
        QStringList fields;
        for (int i = 0; i < query.record().count(); ++i)
            fields << (query.isNull(i) ? QString("NULL") : query.value(i).toString().trimmed());
        rows << fields.join('|');
    }
    return rows;
}
} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;
    std::unique_ptr<TestDatabase> database;
    QSqlDatabase other; // another attachment, as the service would write
    std::unique_ptr<Selvdesk> window;
    QStringList operators; // accounts the test created, dropped again by cleanup

    void exec(const QString& sql)
    {
        QSqlQuery query(other);
        QVERIFY2(query.exec(sql), qPrintable(sql + ": " + query.lastError().text()));
    }
    template <class T>
    T* child(const char* name) { return window->findChild<T*>(name); }

    void open(const QString& user, const QString& password)
    {
        window = std::make_unique<Selvdesk>();
        window->setDatabase(consoletest::ConsoleConnection(*database, user, password));
        window->show();
        QVERIFY(window->usersModel() && window->incomingModel() && window->blacklistModel());
    }

private slots:
    void initTestCase() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void init()
    {
        database = std::make_unique<TestDatabase>();
        other = database->connect();
        open(server.user, server.password);
        QVERIFY2(consoletest::WaitUntilSubscribed(other), "the window never received every event");
    }

    void cleanup()
    {
        window.reset();
        for (const QString& name : operators)
            QSqlQuery(database->db()).exec("DROP USER " + name);
        operators.clear();
        other = QSqlDatabase();
        database.reset();
    }

    void addingTheCallerIdOfADeactivatedSubscriberReactivatesIt()
    {
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('200', '1111', 2, 'Old', 0)");
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 0, 10000);

        ModalDriver driver;
        driver.expect([](QWidget* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("New CallerID"));
            QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditCallerID"), "200");
            QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditPIN"), "4321");
            QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditName"), "New");
            dialog->findChild<QSpinBox*>("spinboxCOS")->setValue(5);
            dialog->findChild<QPushButton*>("btnOK")->click();
        });
        QTest::mouseClick(child<QPushButton>("addButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT CALLERID, PIN, COS, NAME, IS_ACTIVE FROM USERS"), QStringList{"200|4321|5|New|1"});
        // The event of the update brings it into the view; nothing else refreshes it.
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);
        QCOMPARE(window->usersModel()->index(0, 4).data().toString().trimmed(), QString("New"));
    }

    void deactivatingACallerIdDeactivatesEveryRowThatSharesIt()
    {
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('300', '1', 1, 'A', 1)");
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('300', '2', 1, 'B', 1)");
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('301', '3', 1, 'C', 1)");
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 3, 10000);
        auto* view = child<QTableView>("viewUsers");
        int row = 0;
        while (window->usersModel()->index(row, 1).data().toString() != "300")
            ++row;
        view->selectRow(row);
        QTest::mouseClick(child<QPushButton>("deleteButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT CALLERID, IS_ACTIVE FROM USERS ORDER BY ID"),
                 (QStringList{"300|0", "300|0", "301|1"}));
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);

        // Nothing selected: nothing happens.
        view->clearSelection();
        QTest::mouseClick(child<QPushButton>("deleteButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT COUNT(*) FROM USERS WHERE IS_ACTIVE=1"), QStringList{"1"});
    }

    void editingARowWithoutCosStoresOne()
    {
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('400', '9', NULL, 'Nil', 1)");
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);
        auto* view = child<QTableView>("viewUsers");
        view->selectRow(0);

        ModalDriver driver;
        int cosShown = -1;
        bool activeShown = false;
        driver.expect([&](QWidget* dialog) {
            cosShown = dialog->findChild<QSpinBox*>("spinboxCOS")->value();
            activeShown = dialog->findChild<QCheckBox*>("chbActiveUser")->isChecked();
            auto* name = dialog->findChild<QLineEdit*>("lineEditName");
            name->clear();
            QTest::keyClicks(name, "Renamed");
            dialog->findChild<QPushButton*>("btnOK")->click();
        });
        QTest::mouseClick(child<QPushButton>("editButton"), Qt::LeftButton);
        QCOMPARE(cosShown, 1);
        QVERIFY(activeShown);
        QCOMPARE(Rows(other, "SELECT CALLERID, PIN, COS, NAME, IS_ACTIVE FROM USERS"), QStringList{"400|9|1|Renamed|1"});

        // A double click edits the row it hits; cancelling changes nothing.
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->index(0, 4).data().toString(), QString("Renamed"), 10000);
        driver.expect([](QWidget* dialog) {
            QCOMPARE(dialog->findChild<QLineEdit*>("lineEditName")->text(), QString("Renamed"));
            dialog->findChild<QPushButton*>("btnCancel")->click();
        });
        const QRect cell = view->visualRect(window->usersModel()->index(0, 1));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
        QTRY_VERIFY_WITH_TIMEOUT(driver.allHandled(), 5000);
        QCOMPARE(Rows(other, "SELECT NAME FROM USERS"), QStringList{"Renamed"});
        QCOMPARE(driver.unexpected(), 0);
    }

    void showDeletedUsersListsDeactivatedRowsToo()
    {
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('500', '1', 1, 'On', 1)");
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('501', '1', 1, 'Off', 0)");
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);
        auto* box = child<QCheckBox>("chbShowDeleted");
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QVERIFY(box->isChecked());
        QCOMPARE(window->usersModel()->rowCount(), 2);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
        QCOMPARE(window->usersModel()->rowCount(), 1);
        QCOMPARE(window->usersModel()->index(0, 1).data().toString(), QString("500"));
    }

    void incomingCallsOfSubscribersAppearWithoutAnyAction()
    {
        exec("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('600', '1', 1, 'Ann', 1)");
        const QString id = Rows(other, "SELECT ID FROM USERS WHERE CALLERID='600'").value(0);
        IncomingLogModel* model = window->incomingModel();
        QCOMPARE(model->rowCount(), 0);

        exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
             "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '600', " + id + ", 1, '600')");
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 1, 10000);
        QCOMPARE(model->index(0, 2).data().toString().trimmed(), QString("600"));
        QCOMPARE(model->index(0, 3).data().toString().trimmed(), QString("Ann"));
        QCOMPARE(model->index(0, 4).data().toString(), QString("Queued for a callback"));
        QCOMPARE(model->index(0, 4).data(Qt::EditRole).toInt(), 1);
        QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QString("Name"));

        // A caller that is no subscriber is logged with no UID and is not listed.
        exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
             "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '999', NULL, 0, '999')");
        exec("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
             "(gen_id(NEW_INCOMING_ID,1), current_timestamp, '600', " + id + ", 2, '600')");
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, 10000);
        QCOMPARE(Rows(other, "SELECT COUNT(*) FROM INCOMINGLOG"), QStringList{"3"});

        // Queue events are logged and refresh nothing.
        DiagnosticLines lines;
        QSignalSpy usersReset(window->usersModel(), &QAbstractItemModel::modelReset);
        exec("INSERT INTO QUEUE (ID, CID, UID, CALL_BEGIN, ATTEMPTS) VALUES (1, 1, " + id + ", current_timestamp, 0)");
        QTRY_VERIFY_WITH_TIMEOUT(!lines.find("Event was occured: queue_insert").isEmpty(), 10000);
        QCOMPARE(usersReset.count(), 0);
    }

    void patternsAreAddedEmptyAndFilledInPlaceSeparately()
    {
        auto* view = child<QTableView>("viewBlacklist");
        QTest::mouseClick(child<QPushButton>("pbAddPattern"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>("pbAddPattern"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT COS, NUMBER FROM BLACKLIST"), (QStringList{"0|", "0|"}));
        QSqlTableModel* model = window->blacklistModel();
        QCOMPARE(model->rowCount(), 2);
        const QString firstId = model->index(0, 0).data().toString();
        const QString secondId = model->index(1, 0).data().toString();

        child<QTabWidget>("tabWidget")->setCurrentWidget(child<QWidget>("tabBlacklist"));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        auto rowOf = [model](const QString& id) {
            for (int row = 0; row < model->rowCount(); ++row) {
                if (model->index(row, 0).data().toString() == id)
                    return row;
            }
            return -1;
        };
        // Making a cell current edits it (every trigger edits); leaving a row writes it and re-selects.
        auto makeCurrent = [&](const QString& id) {
            view->setCurrentIndex(model->index(rowOf(id), 2));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // editors of the old rows
            if (!view->viewport()->findChild<QLineEdit*>())
                view->edit(view->currentIndex());
            return view->viewport()->findChild<QLineEdit*>();
        };
        auto typeInto = [&](const QString& id, const QString& text) {
            QLineEdit* editor = makeCurrent(id);
            QVERIFY(editor);
            QTest::keyClicks(editor, text);
            QTest::keyClick(editor, Qt::Key_Return);
        };
        view->setFocus();
        typeInto(firstId, "112");
        typeInto(secondId, "9.*");
        makeCurrent(firstId);
        QStringList expected{firstId + "|0|112", secondId + "|0|9.*"};
        std::sort(expected.begin(), expected.end());
        QCOMPARE(Rows(other, "SELECT ID, COS, NUMBER FROM BLACKLIST ORDER BY ID"), expected);
    }

    void deletingWithSeveralCellsSelectedDeletesTheFirstSelectedRowOnly()
    {
        exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, 'a')");
        exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, 'b')");
        exec("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, 'c')");
        QSqlTableModel* model = window->blacklistModel();
        model->select(); // blacklist changes post no event
        QCOMPARE(model->rowCount(), 3);
        auto* view = child<QTableView>("viewBlacklist");
        view->setEditTriggers(QAbstractItemView::NoEditTriggers); // keep the selection still
        int rowOfC = 0;
        while (model->index(rowOfC, 2).data().toString() != "c")
            ++rowOfC;
        view->selectionModel()->select(model->index(rowOfC, 2), QItemSelectionModel::Select);
        view->selectionModel()->select(model->index((rowOfC + 1) % 3, 2), QItemSelectionModel::Select);
        QTest::mouseClick(child<QPushButton>("pbDeletePattern"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT NUMBER FROM BLACKLIST ORDER BY NUMBER"), (QStringList{"a", "b"}));
        QCOMPARE(model->rowCount(), 2);
    }

    // An operator in the role MANAGER, created by the administrator through the console, does every
    // write the window offers; the triggers audit each subscriber change under the operator's name.
    // What the role must not do, and what the server refuses, reaches the operator's screen.
    void anOperatorDoesEveryWriteOfTheWindowInTheRoleManager()
    {
        const QString name = QString("OPW%1").arg(QDateTime::currentMSecsSinceEpoch() % 100000000);
        operators << name;
        {
            QSqlDatabase admin = database->db();
            DBUsersDialog accounts;
            accounts.setDatabase(&admin);
            ModalDriver driver;
            driver.expect([&](QWidget* form) {
                QTest::keyClicks(form->findChild<QLineEdit*>("lineEditUsername"), name.toLower());
                QTest::keyClicks(form->findChild<QLineEdit*>("lineEditPassword1"), "op-pw");
                QTest::keyClicks(form->findChild<QLineEdit*>("lineEditPassword2"), "op-pw");
                form->findChild<QPushButton*>("btnOK")->click();
            });
            accounts.findChild<QPushButton*>("addButton")->click();
            QCOMPARE(driver.unexpected(), 0);
        }
        open(name.toLower(), "op-pw");
        QVERIFY2(consoletest::WaitUntilSubscribed(other), "the window never received every event");
        QVERIFY(!window->findChild<QAction*>("actionUsers")->isEnabled());
        ModalDriver driver;
        auto fillSubscriber = [](const QString& callerId, const QString& subscriber, int cos) {
            return [=](QWidget* dialog) {
                auto* caller = dialog->findChild<QLineEdit*>("lineEditCallerID");
                caller->clear();
                QTest::keyClicks(caller, callerId);
                auto* nameEdit = dialog->findChild<QLineEdit*>("lineEditName");
                nameEdit->clear();
                QTest::keyClicks(nameEdit, subscriber);
                dialog->findChild<QSpinBox*>("spinboxCOS")->setValue(cos);
                dialog->findChild<QPushButton*>("btnOK")->click();
            };
        };
        auto audit = [&] { return Rows(other, "SELECT DBUSER, OPERATION FROM DBLOG ORDER BY ID"); };
        const QString by = name + "|";

        // Add, edit, deactivate, and bring back by adding the same caller ID.
        driver.expect(fillSubscriber("700", "Olga", 3));
        QTest::mouseClick(child<QPushButton>("addButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT CALLERID, COS, NAME, IS_ACTIVE FROM USERS"), QStringList{"700|3|Olga|1"});
        QCOMPARE(audit(), QStringList{by + "insert"});
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);

        child<QTableView>("viewUsers")->selectRow(0);
        driver.expect(fillSubscriber("701", "Olga B", 4));
        QTest::mouseClick(child<QPushButton>("editButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT CALLERID, COS, NAME, IS_ACTIVE FROM USERS"), QStringList{"701|4|Olga B|1"});
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->index(0, 1).data().toString(), QString("701"), 10000);

        child<QTableView>("viewUsers")->selectRow(0);
        QTest::mouseClick(child<QPushButton>("deleteButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT IS_ACTIVE FROM USERS"), QStringList{"0"});
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 0, 10000);

        driver.expect(fillSubscriber("701", "Olga C", 5));
        QTest::mouseClick(child<QPushButton>("addButton"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT CALLERID, COS, NAME, IS_ACTIVE FROM USERS"), QStringList{"701|5|Olga C|1"});
        QCOMPARE(audit(), (QStringList{by + "insert", by + "update", by + "active_off", by + "active_on"}));
        QTRY_COMPARE_WITH_TIMEOUT(window->usersModel()->rowCount(), 1, 10000);

        // Add a pattern, write it as the view does when the row is left, delete it.
        QSqlTableModel* patterns = window->blacklistModel();
        QTest::mouseClick(child<QPushButton>("pbAddPattern"), Qt::LeftButton);
        QCOMPARE(patterns->rowCount(), 1);
        QVERIFY(patterns->setData(patterns->index(0, 2), "8.*"));
        QVERIFY2(patterns->submit(), qPrintable(patterns->lastError().text()));
        QCOMPARE(Rows(other, "SELECT COS, NUMBER FROM BLACKLIST"), QStringList{"0|8.*"});
        child<QTableView>("viewBlacklist")->setEditTriggers(QAbstractItemView::NoEditTriggers);
        child<QTableView>("viewBlacklist")->selectRow(0);
        QTest::mouseClick(child<QPushButton>("pbDeletePattern"), Qt::LeftButton);
        QCOMPARE(Rows(other, "SELECT COUNT(*) FROM BLACKLIST"), QStringList{"0"});
        QCOMPARE(driver.seen().size(), 3); // the three subscriber dialogs, no failure box
        QCOMPARE(audit().size(), 4);       // patterns are not audited

        // What the server refuses is shown with its own text, and the window goes on working: a caller
        // ID longer than its column, a pattern longer than its column (written by the model).
        driver.expect(fillSubscriber("123456789012345678901234", "Long", 1));
        driver.expect(PressOk());
        QTest::mouseClick(child<QPushButton>("addButton"), Qt::LeftButton);
        QCOMPARE(driver.seen().value(4).section(" | ", 0, 1),
                 QString("Database error | The database did not carry out the operation."));
        QVERIFY2(driver.seen().value(4).contains("string truncation"), qPrintable(driver.seen().value(4)));
        QTest::mouseClick(child<QPushButton>("pbAddPattern"), Qt::LeftButton);
        driver.expect(PressOk());
        QVERIFY(patterns->setData(patterns->index(0, 2), "123456789012345678901234"));
        QVERIFY(!patterns->submit());
        QTRY_COMPARE_WITH_TIMEOUT(driver.seen().size(), 6, 10000);
        QVERIFY2(driver.seen().value(5).contains("string truncation"), qPrintable(driver.seen().value(5)));
        QCOMPARE(Rows(other, "SELECT COS, NUMBER FROM BLACKLIST"), QStringList{"0|"});

        // The role reaches neither the audit trail nor the accounts.
        QSqlDatabase mine = window->database();
        QSqlQuery direct(mine);
        QVERIFY(!direct.exec("INSERT INTO DBLOG (ID, UID, OPERATION) VALUES (100, 1, 'forged')"));
        QVERIFY(!direct.exec("DELETE FROM USERS"));
        DBUsersDialog accounts;
        accounts.setDatabase(&mine);
        driver.expect(PressOk());
        accounts.addDBUser("OPFORGED", "pw", {}, {}, {});
        QVERIFY2(driver.seen().value(6).startsWith("Database error | The database did not carry out the operation. | "),
                 qPrintable(driver.seen().value(6)));
        QVERIFY(!consoletest::AccountExists(*database, "OPFORGED"));
        QCOMPARE(Rows(other, "SELECT COUNT(*) FROM USERS"), QStringList{"1"});
        QCOMPARE(driver.unexpected(), 0);
    }

    void theUsersActionIsForTheAdministratorOnly()
    {
        QVERIFY(window->findChild<QAction*>("actionUsers")->isEnabled());

        consoletest::ServerAccount account(*database, "op-pass");
        exec("GRANT MANAGER TO " + account.name());
        open(account.name(), account.password());
        QVERIFY(!window->findChild<QAction*>("actionUsers")->isEnabled());
        QVERIFY(window->statusBar()->findChild<QLabel*>()->text() == account.name().toUpper());
        QCOMPARE(window->usersModel()->lastError().type(), QSqlError::NoError); // the role's rights apply

        open("sysdba", server.password);
        QVERIFY(window->findChild<QAction*>("actionUsers")->isEnabled());
        QCOMPARE(window->statusBar()->findChild<QLabel*>()->text(), QString("SYSDBA"));
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
