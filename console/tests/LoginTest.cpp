// The console's start: identity and translation, the settings dialog, and the login against the test server.
#include "console/Application.h"
#include "console/LoginWindow.h"
#include "console/Selvdesk.h"
#include "console/SettingsDialog.h"
#include "console/tests/ConsoleTestSupport.h"
#include "tests/support/Loopback.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTranslator>

#include <memory>

using consoletest::Click;
using consoletest::DiagnosticLines;
using consoletest::ModalDriver;
using consoletest::PressCancel;
using consoletest::PressOk;

namespace {
// Lists a driver name without being able to open it: enough for the settings dialog's list.
struct ListedOnly : QSqlDriverCreatorBase
{
    QSqlDriver* createObject() const override { return nullptr; }
};
} // namespace

class LoginTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<consoletest::SettingsSandbox> sandbox;
    FbServerEnv server = FbServerEnv::fromEnvironment();

    void typeAccount(LoginWindow& login, const QString& user, const QString& password)
    {
        QTest::keyClicks(login.findChild<QLineEdit*>("lineEdit"), user);
        QTest::keyClicks(login.findChild<QLineEdit*>("lineEdit_2"), password);
    }
    void pointAt(const QString& path, const QString& port)
    {
        sandbox->write(server.host, port, path);
    }
    // Clicks OK in the login window and returns the failure box it shows ("" when it logged in).
    QString failedLogin(LoginWindow& login)
    {
        ModalDriver driver;
        driver.expect(PressOk());
        // The login window is modal itself: a poll between its showing and the click must not take it
        // for the expected box.
        login.setProperty("consoletest.handled", true);
        login.show();
        QTest::mouseClick(login.findChild<QPushButton*>("lw_okButton"), Qt::LeftButton);
        return driver.seen().value(0);
    }

private slots:
    void init() { sandbox = std::make_unique<consoletest::SettingsSandbox>(); }

    void firstRunSeedsTheDefaultsAndShowsThem()
    {
        QVERIFY(!QFile::exists(sandbox->iniPath()));
        SettingsDialog dialog;
        QCOMPARE(sandbox->value("DriverName"), QString("QIBASE"));
        QCOMPARE(sandbox->value("DatabaseName"), QString("norvel_callback"));
        QCOMPARE(sandbox->value("HostName"), QString("localhost"));
        QCOMPARE(sandbox->value("DatabasePort"), QString("3060"));
        QCOMPARE(dialog.findChild<QLineEdit*>("txtDBName")->text(), QString("norvel_callback"));
        QCOMPARE(dialog.findChild<QLineEdit*>("txtDBHostname")->text(), QString("localhost"));
        QCOMPARE(dialog.findChild<QLineEdit*>("txtDBPort")->text(), QString("3060"));
        QCOMPARE(dialog.findChild<QComboBox*>("cbDBDriver")->currentText(), QString("QIBASE"));
    }

    void legacyDriverNamesAreNeverOfferedAndAnUnknownDriverIsKept()
    {
        for (const char* name : {"QMYSQL3", "QTDS7", "QPSQL7", "QOCI8", "QODBC3", "QLISTEDONLY"})
            QSqlDatabase::registerSqlDriver(name, new ListedOnly);
        sandbox->write("localhost", "3060", "db", "QNOSUCHDRIVER");
        SettingsDialog dialog;
        auto* combo = dialog.findChild<QComboBox*>("cbDBDriver");
        QStringList offered;
        for (int i = 0; i < combo->count(); ++i)
            offered << combo->itemText(i);
        QVERIFY(offered.contains("QLISTEDONLY"));
        QVERIFY(offered.contains("QIBASE"));
        for (const char* legacy : {"QMYSQL3", "QTDS7", "QPSQL7", "QOCI8", "QODBC3"})
            QVERIFY2(!offered.contains(legacy), legacy);
        QCOMPARE(combo->currentIndex(), 0);
        QTest::mouseClick(dialog.findChild<QPushButton*>("set_okButton"), Qt::LeftButton);
        QCOMPARE(sandbox->value("DriverName"), QString("QNOSUCHDRIVER"));
    }

    void cancelKeepsTheTypedHostForTheNextOk()
    {
        SettingsDialog dialog;
        dialog.show();
        auto* host = dialog.findChild<QLineEdit*>("txtDBHostname");
        host->clear();
        QTest::keyClicks(host, "db.example");
        QTest::mouseClick(dialog.findChild<QPushButton*>("set_cancelButton"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(sandbox->value("HostName"), QString("localhost"));

        dialog.show();
        QCOMPARE(host->text(), QString("db.example"));
        QTest::mouseClick(dialog.findChild<QPushButton*>("set_okButton"), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(sandbox->value("HostName"), QString("db.example"));
    }

    // The main window's dialog was loaded at start-up; what the login window's dialog stored since then
    // is what it shows, so its OK never writes the old values back. Its own cancelled typing of
    // another field stays.
    void theMainWindowsSettingsShowWhatTheLoginWindowStored()
    {
        Selvdesk window;
        LoginWindow login;
        ModalDriver driver;
        driver.expect([](QWidget* dialog) {
            auto* name = dialog->findChild<QLineEdit*>("txtDBName");
            name->clear();
            QTest::keyClicks(name, "typed_but_cancelled");
            dialog->setProperty("consoletest.handled", false); // the same dialog opens again below
            dialog->findChild<QPushButton*>("set_cancelButton")->click();
        });
        window.findChild<QAction*>("actionDBSettings")->trigger();
        driver.expect([](QWidget* dialog) {
            auto* host = dialog->findChild<QLineEdit*>("txtDBHostname");
            host->clear();
            QTest::keyClicks(host, "db2.example");
            auto* port = dialog->findChild<QLineEdit*>("txtDBPort");
            port->clear();
            QTest::keyClicks(port, "3051");
            dialog->findChild<QPushButton*>("set_okButton")->click();
        });
        login.findChild<QPushButton*>("lw_settingsButton")->click();
        QCOMPARE(sandbox->value("HostName"), QString("db2.example"));

        QString hostShown, portShown, nameShown;
        driver.expect([&](QWidget* dialog) {
            hostShown = dialog->findChild<QLineEdit*>("txtDBHostname")->text();
            portShown = dialog->findChild<QLineEdit*>("txtDBPort")->text();
            nameShown = dialog->findChild<QLineEdit*>("txtDBName")->text();
            dialog->findChild<QPushButton*>("set_okButton")->click();
        });
        window.findChild<QAction*>("actionDBSettings")->trigger();
        QCOMPARE(hostShown, QString("db2.example"));
        QCOMPARE(portShown, QString("3051"));
        QCOMPARE(nameShown, QString("typed_but_cancelled"));
        QCOMPARE(sandbox->value("HostName"), QString("db2.example"));
        QCOMPARE(sandbox->value("DatabasePort"), QString("3051"));
        QCOMPARE(sandbox->value("DatabaseName"), QString("typed_but_cancelled"));
        QCOMPARE(driver.unexpected(), 0);
    }

    void loginWithAPortUsesTheFirebirdHostForm()
    {
        TestDatabase database;
        pointAt(database.path(), QString::number(server.port));
        DiagnosticLines lines;
        LoginWindow login;
        typeAccount(login, server.user, server.password);
        login.show();
        QTest::mouseClick(login.findChild<QPushButton*>("lw_okButton"), Qt::LeftButton);
        QCOMPARE(login.result(), int(QDialog::Accepted));

        QSqlDatabase db = login.database();
        QVERIFY(db.isOpen());
        QCOMPARE(db.hostName(), server.host + "/" + QString::number(server.port));
        QCOMPARE(db.port(), -1); // no port of the driver's own
        QCOMPARE(db.connectOptions(), QString("ISC_DPB_SQL_ROLE_NAME=MANAGER"));
        const QString success = lines.find("LoginWindow::check() success!");
        QVERIFY2(success.contains("Server: " + server.host + "/" + QString::number(server.port)), qPrintable(success));
        QVERIFY2(success.contains("Port: -1"), qPrintable(success));
    }

    void anOperatorWorksInTheRoleManager()
    {
        TestDatabase database;
        consoletest::ServerAccount account(database, "op-secret");
        QVERIFY(QSqlQuery(database.db()).exec("GRANT MANAGER TO " + account.name()));
        pointAt(database.path(), QString::number(server.port));
        LoginWindow login;
        typeAccount(login, account.name(), account.password());
        QVERIFY(login.connectDatabase());
        QSqlQuery role(login.database());
        QVERIFY(role.exec("SELECT CURRENT_ROLE FROM RDB$DATABASE") && role.next());
        QCOMPARE(role.value(0).toString().trimmed(), QString("MANAGER"));
        QVERIFY2(role.exec("SELECT COUNT(*) FROM USERS"), "the role's rights apply");
    }

    void anEmptyPortLeavesTheHostAlone()
    {
        pointAt("/nonexistent/selvdesk.fdb", "");
        LoginWindow login;
        typeAccount(login, server.user, server.password);
        QVERIFY(!login.connectDatabase());
        QCOMPARE(login.database().hostName(), server.host);
        QVERIFY(login.database().port() <= 0);
    }

    void aMissingDatabaseIsCreatedAtLogin()
    {
        const QString path = TestDatabase::uniquePath(server, "created");
        pointAt(path, QString::number(server.port));
        {
            LoginWindow login;
            typeAccount(login, server.user, server.password);
            QVERIFY(login.connectDatabase());
            QVERIFY(login.database().tables().isEmpty()); // created without a schema
            login.database().close();
        }
        QVERIFY(QFile::exists(path));
        TestDatabase::drop(server, path);
    }

    void failuresAreExplainedAndTheWindowStaysOpen()
    {
        TestDatabase database;
        LoginWindow wrongPassword;
        pointAt(database.path(), QString::number(server.port));
        wrongPassword.readSettings();
        typeAccount(wrongPassword, server.user, "not-the-password");
        QString box = failedLogin(wrongPassword);
        QVERIFY2(box.contains("Connection failed or server refused connection. | "
                              "Error occurred. Please check your username and password and try again."),
                 qPrintable(box));
        QVERIFY(wrongPassword.isVisible());
        QCOMPARE(wrongPassword.result(), 0);

        pointAt(database.path(), QString::number(testsupport::FreeTcpPort()));
        LoginWindow unreachable;
        typeAccount(unreachable, server.user, server.password);
        box = failedLogin(unreachable);
        QVERIFY2(box.endsWith("Error occurred. Failed to establish a connection. Please check the settings and try again.  "),
                 qPrintable(box));

        pointAt("/nonexistent/folder/selvdesk.fdb", QString::number(server.port));
        LoginWindow missingFile;
        typeAccount(missingFile, server.user, server.password);
        box = failedLogin(missingFile);
        QVERIFY2(box.endsWith("Error occurred. Can't find database file. Please check the settings and try again."),
                 qPrintable(box));
        QVERIFY(missingFile.isVisible());
    }

    void adviceFollowsTheErrorCodeAndTestsPasswordFirst()
    {
        auto advice = [](const QString& text, const QString& code) {
            return LoginWindow::Advice(QSqlError("driver", text, QSqlError::ConnectionError, code));
        };
        QCOMPARE(advice("password and connection", "-902"),
                 QString("Error occurred. Please check your username and password and try again."));
        QCOMPARE(advice("CreateFile failed on connection", "-902"),
                 QString("Error occurred. Can't find database file. Please check the settings and try again."));
        QVERIFY(advice("something else", "-902").isEmpty());
        QVERIFY(advice("password", "-901").isEmpty());
        QCOMPARE(advice("anything", "1"), QString("Error occurred. Please check the settings and try again."));
    }

    void cancellingTheLoginEndsWithZeroAndNoMainWindow()
    {
        bool mainWindowShown = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                mainWindowShown = mainWindowShown || (qobject_cast<QMainWindow*>(widget) && widget->isVisible());
        });
        watch.start(10);
        ModalDriver driver;
        driver.expect(Click("lw_cancelButton"));
        QCOMPARE(console::Run(*qApp), 0);
        QVERIFY(driver.allHandled());
        QVERIFY(!mainWindowShown);
    }

    void aLoginShowsTheMainWindowAndRunsTheLoop()
    {
        TestDatabase database;
        pointAt(database.path(), QString::number(server.port));
        ModalDriver driver;
        driver.expect([this](QWidget* login) {
            QTest::keyClicks(login->findChild<QLineEdit*>("lineEdit"), server.user);
            QTest::keyClicks(login->findChild<QLineEdit*>("lineEdit_2"), server.password);
            login->findChild<QPushButton*>("lw_okButton")->click();
        });
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == "SelvdeskClass" && widget->isVisible())
                    QCoreApplication::exit(7);
            }
        });
        closer.start(20);
        QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
        QCOMPARE(console::Run(*qApp), 7);
        QCOMPARE(driver.unexpected(), 0);
    }

    void theTranslationIsLoadedFromLangBesideTheProgram()
    {
        {
            DiagnosticLines lines;
            QTranslator translator;
            QVERIFY(console::LoadTranslation(translator, SELVDESK_PROGRAM_DIR));
            const QString line = lines.find("Translation loaded. Test word is ");
            QVERIFY2(!line.isEmpty() && !line.endsWith(" File"), qPrintable(line));
            const QString title = QCoreApplication::translate("LoginWindow", "Login window");
            QVERIFY2(title != "Login window" && !title.isEmpty(), qPrintable(title));
            LoginWindow login;
            QCOMPARE(login.windowTitle(), title);
            QCoreApplication::removeTranslator(&translator);

            // With Qt's own translator given, its standard buttons speak Russian too.
            QTranslator qtTranslator;
            QVERIFY(console::LoadTranslation(translator, SELVDESK_PROGRAM_DIR, &qtTranslator));
            QMessageBox box(QMessageBox::Question, "t", "t", QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            QCOMPARE(box.button(QMessageBox::No)->text().remove(QChar('&')), QString::fromUtf8("Нет"));
            QCOMPARE(box.button(QMessageBox::Cancel)->text().remove(QChar('&')), QString::fromUtf8("Отмена"));
            QCoreApplication::removeTranslator(&translator);
            QCoreApplication::removeTranslator(&qtTranslator);
        }
        QTemporaryDir empty;
        DiagnosticLines lines;
        QTranslator translator;
        QVERIFY(!console::LoadTranslation(translator, empty.path()));
        QVERIFY(!lines.find("Can't load translation. Test word is File").isEmpty());
        QCOMPARE(QCoreApplication::translate("LoginWindow", "Login window"), QString("Login window"));
    }
};

int main(int argc, char* argv[])
{
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    LoginTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "LoginTest.moc"
