// What the console's tests share: driving modal dialogs and message boxes as an operator would, the
// console's diagnostic lines, its settings store in a temporary folder, and accounts on the test server.
#pragma once

#include "tests/support/TestDatabase.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>

class QWidget;

namespace consoletest {

// Handles the modal windows that open while a test runs, one handler per window in the order they
// open. A modal window nobody expected is recorded and rejected, so a test can never hang on one.
class ModalDriver : public QObject
{
public:
    using Handler = std::function<void(QWidget*)>;
    ModalDriver();
    ~ModalDriver() override;

    void expect(Handler handler) { handlers_.push_back(std::move(handler)); }
    // Every modal window seen, described as "title | text | informative text" (boxes) or "title".
    const QStringList& seen() const { return seen_; }
    int unexpected() const { return unexpected_; }
    bool allHandled() const { return handlers_.empty(); }

private:
    void poll();
    QTimer timer_;
    std::deque<Handler> handlers_;
    QStringList seen_;
    int unexpected_ = 0;
};

// Handlers for the usual answers.
ModalDriver::Handler PressOk();     // the box's OK (or the dialog's accept)
ModalDriver::Handler PressCancel(); // rejects the dialog
// Clicks the push button with this object name inside the dialog.
ModalDriver::Handler Click(const char* button);

// Collects the console's diagnostic lines (qDebug and qWarning) while it lives.
class DiagnosticLines
{
public:
    DiagnosticLines();
    ~DiagnosticLines();
    const QStringList& lines() const;
    // The first line holding text, or an empty string.
    QString find(const QString& text) const;
};

// Points the per-user settings store at a fresh temporary folder.
class SettingsSandbox
{
public:
    SettingsSandbox();
    QString iniPath() const;
    void write(const QString& host, const QString& port, const QString& database, const QString& driver = "QIBASE");
    QString value(const QString& key) const; // group "Database"
    void clear();

private:
    QTemporaryDir dir_;
};

// An account on the test server (accounts are server-wide), created and dropped again through the
// administrator's connection to database, which must outlive it.
class ServerAccount
{
public:
    ServerAccount(const TestDatabase& database, const QString& password);
    ~ServerAccount();
    const QString& name() const { return name_; }
    const QString& password() const { return password_; }

private:
    QSqlDatabase admin_;
    QString name_;
    QString password_;
};

// The connection the login window opens: Firebird's "host/port" form, in the role MANAGER. Open, or
// closed with its error when the server refused it.
QSqlDatabase ConsoleConnection(const TestDatabase& database, const QString& user, const QString& password);

// Posts every event the main window listens to, from another attachment, until the window has reacted
// to each once: the driver takes the first callback of a subscription for its start, so a test's first
// change would otherwise go unseen. False when the window never saw them all. Uses DiagnosticLines, so
// none may be alive around the call.
// moreEvents: events of optional objects the window listens to as well.
bool WaitUntilSubscribed(QSqlDatabase other, const QStringList& moreEvents = {});

// Runs a statement on db; a failure fails the running test with the statement and the server's error.
void Exec(QSqlDatabase db, const QString& sql);

// True when an account of this name exists on the server of database, whatever its privileges.
bool AccountExists(const TestDatabase& database, const QString& name);

} // namespace consoletest
