// The administrator's accounts dialog against the test server: accounts join and leave the role
// MANAGER, the administrator's own account is refused, and typed texts cannot change a statement.
#include "console/Application.h"
#include "console/DBUsersDialog.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTableView>
#include <QTest>

#include <memory>

using consoletest::ModalDriver;
using consoletest::PressOk;

namespace {
QString UniqueName() { return QString("OPER%1").arg(QRandomGenerator::global()->bounded(100000000)); }

// Fills the new-account form and presses its OK.
ModalDriver::Handler FillAccount(const QString& name, const QString& password, const QString& confirm,
                                 const QString& first = {}, bool* stayedOpen = nullptr)
{
    return [=](QWidget* dialog) {
        QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditUsername"), name);
        QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditPassword1"), password);
        QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditPassword2"), confirm);
        QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditFirstname"), first);
        QTest::keyClicks(dialog->findChild<QLineEdit*>("lineEditLastname"), "Test");
        dialog->findChild<QPushButton*>("btnOK")->click();
        if (stayedOpen) {
            *stayedOpen = dialog->isVisible();
            dialog->findChild<QPushButton*>("btnCancel")->click();
        }
    };
}
} // namespace

class AccountsTest : public QObject
{
    Q_OBJECT

    FbServerEnv server = FbServerEnv::fromEnvironment();
    std::unique_ptr<TestDatabase> database;
    QSqlDatabase db;
    std::unique_ptr<DBUsersDialog> dialog;
    QStringList created;

    QStringList listed() const
    {
        QStringList names;
        for (int row = 0; row < dialog->usersModel()->rowCount(); ++row)
            names << dialog->usersModel()->index(row, 0).data().toString().trimmed();
        return names;
    }
    void selectListed(const QString& name)
    {
        auto* view = dialog->findChild<QTableView*>("tableDBUsers");
        const int row = listed().indexOf(name);
        QVERIFY2(row >= 0, qPrintable(name));
        view->setCurrentIndex(dialog->usersModel()->index(row, 0));
    }
    void click(const char* button) { dialog->findChild<QPushButton*>(button)->click(); }
    bool canLogIn(const QString& name, const QString& password)
    {
        QSqlDatabase login = QSqlDatabase::addDatabase("QIBASE", "accounts-login-" + name);
        login.setHostName(server.host + "/" + QString::number(server.port));
        login.setDatabaseName(database->path());
        login.setUserName(name);
        login.setPassword(password);
        const bool opened = login.open();
        login.close();
        login = QSqlDatabase();
        QSqlDatabase::removeDatabase("accounts-login-" + name);
        return opened;
    }

private slots:
    void init()
    {
        database = std::make_unique<TestDatabase>();
        db = database->db();
        dialog = std::make_unique<DBUsersDialog>();
        dialog->setDatabase(&db);
        dialog->show();
    }

    void cleanup()
    {
        for (const QString& name : created)
            QSqlQuery(db).exec("DROP USER " + name);
        created.clear();
        dialog.reset();
        db = QSqlDatabase();
        database.reset();
    }

    void anAccountJoinsTheRoleAndLeavesItWhileTheAccountStays()
    {
        QCOMPARE(dialog->usersModel()->headerData(0, Qt::Horizontal).toString(), QString("Login name"));
        QVERIFY(listed().contains("SYSDBA")); // the owner of the tables
        const QString name = UniqueName();
        created << name;
        ModalDriver driver;
        driver.expect(FillAccount(name, "s3cret", "s3cret"));
        click("addButton");
        QVERIFY(listed().contains(name));
        QVERIFY(canLogIn(name, "s3cret"));
        QSqlQuery member(db);
        QVERIFY(member.exec("SELECT COUNT(*) FROM RDB$USER_PRIVILEGES WHERE RDB$RELATION_NAME='MANAGER' AND RDB$USER='" +
                            name + "'") && member.next());
        QCOMPARE(member.value(0).toInt(), 1);

        selectListed(name);
        click("deleteButton");
        QVERIFY(!listed().contains(name));
        QVERIFY(consoletest::AccountExists(*database, name));
        QCOMPARE(driver.unexpected(), 0);

        // Existing and missing accounts are refused before any statement.
        driver.expect(PressOk());
        dialog->addDBUser("SYSDBA", "x", {}, {}, {});
        driver.expect(PressOk());
        dialog->deleteDBUser("NOSUCHOPERATOR");
        QTRY_COMPARE_WITH_TIMEOUT(driver.seen().size(), 3, 5000);
        QCOMPARE(driver.seen().at(1), QString("Error message | You can't add new SYSDBA user. | "));
        QCOMPARE(driver.seen().at(2), QString("Error message | You can't delete user which is not exist in database. | "));
    }

    void theAdministratorIsRefusedInAnyLetterCase()
    {
        ModalDriver driver;
        driver.expect(FillAccount("sysDBA", "a", "a"));
        driver.expect(PressOk());
        click("addButton");
        driver.expect(PressOk());
        selectListed("SYSDBA");
        click("deleteButton");
        QCOMPARE(driver.seen().value(1), QString("Error message | You can't add new SYSDBA user. | "));
        QCOMPARE(driver.seen().value(2), QString("Error message | You can't delete SYSDBA user. | "));
        QVERIFY(listed().contains("SYSDBA"));
    }

    void aMemberCannotBeAddedTwice()
    {
        const QString name = UniqueName();
        created << name;
        dialog->addDBUser(name, "pw", {}, {}, {});
        QVERIFY(dialog->checkUserExistence(name));
        ModalDriver driver;
        driver.expect(PressOk());
        dialog->addDBUser(name, "pw2", {}, {}, {});
        QCOMPARE(driver.seen().value(0), QString("Error message | You can't add user which already exists in database. | "));
        QVERIFY(canLogIn(name, "pw")); // untouched
    }

    // An account the server already holds is never created again: the server would keep the old one
    // with its password while the console reported a new one.
    void anExistingAccountIsNeverCreatedAgain()
    {
        consoletest::ServerAccount stranger(*database, "old-pw"); // on the server, no rights here
        const QString typed = stranger.name().toLower();
        ModalDriver driver;
        driver.expect(FillAccount(typed, "new-pw", "new-pw"));
        driver.expect([](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
        click("addButton");
        QTRY_VERIFY_WITH_TIMEOUT(driver.allHandled(), 5000);
        QVERIFY2(driver.seen().value(1).startsWith("Database users | The account " + stranger.name() +
                                                   " already exists on the database server."),
                 qPrintable(driver.seen().value(1)));
        QVERIFY(!listed().contains(stranger.name()));
        QVERIFY(canLogIn(stranger.name(), "old-pw"));
        QVERIFY(!canLogIn(stranger.name(), "new-pw"));

        // The statement alone is refused too, when its transaction commits, and says so.
        driver.expect(PressOk());
        QVERIFY(!dialog->createDBUser(stranger.name(), "new-pw", {}, {}, {}));
        QVERIFY2(driver.seen().value(2).startsWith("Database error | The database did not carry out the operation. | "),
                 qPrintable(driver.seen().value(2)));
        QVERIFY(canLogIn(stranger.name(), "old-pw"));

        // A member typed in another letter case is refused before anything runs.
        const QString name = UniqueName();
        created << name;
        dialog->addDBUser(name, "pw", {}, {}, {});
        dialog->refreshDBUsers();
        QVERIFY(listed().contains(name));
        driver.expect(PressOk());
        dialog->addDBUser(name.toLower(), "pw2", {}, {}, {});
        QCOMPARE(driver.seen().value(3), QString("Error message | You can't add user which already exists in database. | "));

        // Deleted (out of the role) and added again: back in the role, with its own password.
        selectListed(name);
        click("deleteButton");
        QVERIFY(!listed().contains(name));
        driver.expect(FillAccount(name, "pw3", "pw3"));
        driver.expect([](QWidget* box) { qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes)->click(); });
        click("addButton");
        QTRY_VERIFY_WITH_TIMEOUT(driver.allHandled(), 5000);
        QVERIFY(listed().contains(name));
        QVERIFY(canLogIn(name, "pw"));
        QCOMPARE(driver.unexpected(), 0);
    }

    void mismatchedPasswordsKeepTheFormOpen()
    {
        ModalDriver driver;
        bool stayedOpen = false;
        driver.expect(FillAccount(UniqueName(), "one", "two", {}, &stayedOpen));
        driver.expect(PressOk());
        click("addButton");
        QVERIFY(stayedOpen);
        QCOMPARE(driver.seen().value(1), QString("Error message | Password must to be equal in two fields. | "));
        QCOMPARE(listed(), QStringList{"SYSDBA"});
    }

    void typedQuotesAndSqlStayData()
    {
        // A name that is no plain identifier is refused with a message and runs nothing.
        ModalDriver driver;
        driver.expect(FillAccount("x' OR 1=1 --", "a", "a"));
        driver.expect(PressOk());
        click("addButton");
        QVERIFY2(driver.seen().value(1).startsWith("Error message | A user name starts with a Latin letter"),
                 qPrintable(driver.seen().value(1)));
        driver.expect(PressOk());
        dialog->deleteDBUser("SYSDBA FROM MANAGER; --");
        QTRY_COMPARE_WITH_TIMEOUT(driver.seen().size(), 3, 5000);

        // Quotes in the password and the name parts are part of the values.
        const QString name = UniqueName();
        created << name;
        driver.expect(FillAccount(name, "it's'; DROP", "it's'; DROP", "O'Brien"));
        click("addButton");
        QVERIFY(listed().contains(name));
        QVERIFY(canLogIn(name, "it's'; DROP"));
        QSqlQuery first(db);
        QVERIFY(first.exec("SELECT SEC$FIRST_NAME FROM SEC$USERS WHERE SEC$USER_NAME='" + name + "'") && first.next());
        QCOMPARE(first.value(0).toString().trimmed(), QString("O'Brien"));
        QCOMPARE(driver.unexpected(), 0);
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    AccountsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AccountsTest.moc"
