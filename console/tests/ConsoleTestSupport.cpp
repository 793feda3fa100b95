#include "console/tests/ConsoleTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

#include <mutex>
#include <stdexcept>

namespace consoletest {

ModalDriver::ModalDriver()
{
    // Modal windows already open are the test's stage, not windows it waits for: a poll in the instant
    // between a box closing and its event loop returning would otherwise take the stage for a new one.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->isModal())
            widget->setProperty("consoletest.handled", true);
    connect(&timer_, &QTimer::timeout, this, &ModalDriver::poll);
    timer_.start(20);
}

ModalDriver::~ModalDriver() = default;

namespace {
QString Describe(QWidget* widget)
{
    if (auto* box = qobject_cast<QMessageBox*>(widget))
        return box->windowTitle() + " | " + box->text() + " | " + box->informativeText();
    return widget->windowTitle();
}
} // namespace

void ModalDriver::poll()
{
    QWidget* widget = QApplication::activeModalWidget();
    // A marker, not the address: a box in the same stack frame as the last one has the same address.
    if (!widget || widget->property("consoletest.handled").toBool())
        return;
    widget->setProperty("consoletest.handled", true);
    seen_ << Describe(widget);
    if (handlers_.empty()) {
        ++unexpected_;
        qWarning().noquote() << "unexpected modal window:" << seen_.last();
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject();
        else
            widget->close();
        return;
    }
    // Queued, so the timer is free again when a handler's click opens a further modal window.
    QPointer<QWidget> target(widget);
    QMetaObject::invokeMethod(
        this,
        [handler = std::move(handlers_.front()), target] {
            if (target)
                handler(target);
        },
        Qt::QueuedConnection);
    handlers_.pop_front();
}

ModalDriver::Handler PressOk()
{
    return [](QWidget* widget) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            box->button(QMessageBox::Ok)->click();
        } else if (auto* dialog = qobject_cast<QDialog*>(widget)) {
            dialog->accept();
        }
    };
}

ModalDriver::Handler PressCancel()
{
    return [](QWidget* widget) {
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject();
    };
}

ModalDriver::Handler Click(const char* button)
{
    return [button](QWidget* widget) {
        if (auto* push = widget->findChild<QPushButton*>(button))
            push->click();
        else
            qWarning() << "no button" << button << "in" << widget->windowTitle();
    };
}

namespace {
std::mutex g_linesMutex;
QStringList g_lines;
QtMessageHandler g_previous = nullptr;

void Collect(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        std::lock_guard<std::mutex> lock(g_linesMutex);
        g_lines << message;
    }
    if (g_previous)
        g_previous(type, context, message);
}
} // namespace

DiagnosticLines::DiagnosticLines()
{
    g_lines.clear();
    g_previous = qInstallMessageHandler(Collect);
}

DiagnosticLines::~DiagnosticLines() { qInstallMessageHandler(g_previous); }

const QStringList& DiagnosticLines::lines() const { return g_lines; }

QString DiagnosticLines::find(const QString& text) const
{
    std::lock_guard<std::mutex> lock(g_linesMutex);
    for (const QString& line : g_lines) {
        if (line.contains(text))
            return line;
    }
    return {};
}

SettingsSandbox::SettingsSandbox()
{
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder for the settings");
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir_.path());
}

QString SettingsSandbox::iniPath() const { return dir_.path() + "/Brint/Selvdesk.ini"; }

void SettingsSandbox::write(const QString& host, const QString& port, const QString& database, const QString& driver)
{
    QSettings store(iniPath(), QSettings::IniFormat);
    store.beginGroup("Database");
    store.setValue("DriverName", driver);
    store.setValue("DatabaseName", database);
    store.setValue("HostName", host);
    store.setValue("DatabasePort", port);
    store.endGroup();
}

QString SettingsSandbox::value(const QString& key) const
{
    QSettings store(iniPath(), QSettings::IniFormat);
    return store.value("Database/" + key).toString();
}

void SettingsSandbox::clear() { QFile::remove(iniPath()); }

QSqlDatabase ConsoleConnection(const TestDatabase& database, const QString& user, const QString& password)
{
    static int counter = 0;
    QSqlDatabase db = QSqlDatabase::addDatabase("QIBASE", QString("console-%1").arg(++counter));
    db.setHostName(database.server().host + "/" + QString::number(database.server().port));
    db.setDatabaseName(database.path());
    db.setUserName(user);
    db.setPassword(password);
    db.setConnectOptions("ISC_DPB_SQL_ROLE_NAME=MANAGER");
    if (!db.open())
        qWarning().noquote() << "cannot connect as" << user << ":" << db.lastError().text();
    return db;
}

ServerAccount::ServerAccount(const TestDatabase& database, const QString& password)
    : admin_(database.db()), name_(QString("OP%1").arg(QRandomGenerator::global()->bounded(100000000))),
      password_(password)
{
    QSqlQuery query(admin_);
    if (!query.exec("CREATE USER " + name_ + " PASSWORD '" + password_ + "'"))
        throw std::runtime_error(("CREATE USER failed: " + query.lastError().text()).toStdString());
}

ServerAccount::~ServerAccount()
{
    if (admin_.isOpen())
        QSqlQuery(admin_).exec("DROP USER " + name_);
}

bool WaitUntilSubscribed(QSqlDatabase other, const QStringList& moreEvents)
{
    DiagnosticLines lines;
    const QStringList names = moreEvents + QStringList{"user_insert",        "user_update",        "queue_update",
                                                       "queue_insert",       "queue_delete",       "incominglog_update",
                                                       "incominglog_insert", "incominglog_delete", "outgoinglog_insert",
                                                       "outgoinglog_update"};
    QString block = "EXECUTE BLOCK AS BEGIN ";
    for (const QString& name : names)
        block += "POST_EVENT '" + name + "'; ";
    block += "END";
    for (int round = 0; round < 50; ++round) {
        other.transaction(); // the events go out at the commit
        QSqlQuery(other).exec(block);
        other.commit();
        QTest::qWait(100);
        bool all = true;
        for (const QString& name : names)
            all = all && !lines.find("Event was occured: " + name).isEmpty();
        if (all)
            return true;
    }
    return false;
}

bool AccountExists(const TestDatabase& database, const QString& name)
{
    QSqlQuery query(database.db());
    query.prepare("SELECT COUNT(*) FROM SEC$USERS WHERE SEC$USER_NAME = ?");
    query.addBindValue(name.toUpper());
    return query.exec() && query.next() && query.value(0).toInt() > 0;
}

void Exec(QSqlDatabase db, const QString& sql)
{
    QSqlQuery query(db);
    QVERIFY2(query.exec(sql), qPrintable(sql + ": " + query.lastError().text()));
}

} // namespace consoletest
