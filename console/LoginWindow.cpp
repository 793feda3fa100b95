#include "console/LoginWindow.h"

#include "console/Application.h"
#include "ui_LoginWindow.h"

#include "common/Firebird.h"
#include "common/Schema.h"

#include <QDebug>
#include <QMessageBox>
#include <QSqlError>

LoginWindow::LoginWindow(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::LoginWindow>()), settingsDialog_(this)
{
    ui->setupUi(this);
    if (!readSettings())
        qDebug().noquote() << "Can't read settings.";
    connect(ui->lw_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->lw_okButton, &QPushButton::clicked, this, &LoginWindow::check);
    connect(ui->lw_settingsButton, &QPushButton::clicked, this, &LoginWindow::settings);
}

LoginWindow::~LoginWindow() = default;

bool LoginWindow::readSettings() { return console::ReadConnectionSettings(settings_); }

void LoginWindow::settings()
{
    if (settingsDialog_.exec() == QDialog::Accepted)
        readSettings();
}

bool LoginWindow::connectDatabase()
{
    // Registering the name again replaces the previous registration; drop our handle on it first so the
    // toolkit does not warn about a connection still in use.
    db_ = QSqlDatabase();
    if (QSqlDatabase::contains(settings_.databaseName))
        QSqlDatabase::removeDatabase(settings_.databaseName);
    db_ = QSqlDatabase::addDatabase("QIBASE", settings_.databaseName);
    db_.setHostName(settings_.hostName);
    db_.setDatabaseName(settings_.databaseName);
    db_.setUserName(ui->lineEdit->text());
    db_.setPassword(ui->lineEdit_2->text());
    if (!settings_.port.isEmpty() && settings_.port.toInt() > 0)
        db_.setPort(settings_.port.toInt());
    if (db_.driverName() == "QIBASE") {
        // Firebird takes the port as part of the host: "host/port". The driver then must add no port of
        // its own, and Qt 6 adds one for any port but -1 (Qt 4 ignored 0).
        if (db_.port() > 0) {
            db_.setHostName(settings_.hostName + "/" + settings_.port);
            db_.setPort(-1);
        }
        db_.setConnectOptions("ISC_DPB_SQL_ROLE_NAME=MANAGER");
    }
    if (db_.open())
        return true;

    // Without a port the location is "host:file"; "host/:file" names no server.
    const QString server = settings_.port.isEmpty() ? settings_.hostName : settings_.hostName + "/" + settings_.port;
    const QString location = server + ":" + settings_.databaseName;
    if (!createDatabase(location, ui->lineEdit->text(), ui->lineEdit_2->text()))
        return false;
    return db_.open();
}

bool LoginWindow::createDatabase(const QString& connection, const QString& user, const QString& password)
{
    std::string error;
    if (firebird::CreateDatabase(
            Schema::CreateDatabaseStatement(connection.toStdString(), user.toStdString(), password.toStdString()),
            error))
        return true;
    qDebug().noquote() << QString::fromStdString(error);
    return false;
}

QString LoginWindow::Advice(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    if (code == "1")
        return tr("Error occurred. Please check the settings and try again.");
    if (code != "-902")
        return {};
    const QString text = error.databaseText();
    if (text.contains("password"))
        return tr("Error occurred. Please check your username and password and try again.");
    // A Windows server says "CreateFile"; a Linux server reports the failed open of a missing file.
    if (text.contains("CreateFile") || (text.contains("I/O error") && text.contains("No such file or directory")))
        return tr("Error occurred. Can't find database file. Please check the settings and try again.");
    if (text.contains("connection"))
        return tr("Error occurred. Failed to establish a connection. Please check the settings and try again.  ");
    return {};
}

void LoginWindow::check()
{
    if (connectDatabase()) {
        qDebug().noquote() << "LoginWindow::check() success! Driver:" << db_.driverName() << " Server:" << db_.hostName()
                           << " Port:" << db_.port() << " DBName:" << db_.databaseName() << " Username:"
                           << db_.userName();
        accept();
        return;
    }
    const QSqlError error = db_.lastError();
    qDebug().noquote() << "Can't log in database. Error: " + error.databaseText() + " [" + error.driverText() + "]";
    qDebug().noquote() << "Driver:" << db_.driverName() << " Server:" << db_.hostName() << " Port:" << db_.port()
                       << " DBName:" << db_.databaseName() << " Username:" << db_.userName();

    QMessageBox box(this);
    box.setWindowTitle(windowTitle());
    box.setText(tr("Connection failed or server refused connection."));
    box.setInformativeText(Advice(error));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}
