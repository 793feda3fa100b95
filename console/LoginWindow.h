// The modal login: reads the connection settings, opens the database under the role MANAGER with the
// typed account, creates the database file when it is missing, and explains failures in plain words.
#pragma once

#include "console/Application.h"
#include "console/SettingsDialog.h"

#include <QDialog>
#include <QSqlDatabase>
#include <QString>

#include <memory>

class QSqlError;

namespace Ui {
class LoginWindow;
}

class LoginWindow : public QDialog
{
    Q_OBJECT

public:
    explicit LoginWindow(QWidget* parent = nullptr);
    ~LoginWindow() override;

    // Fills the four settings from group "Database"; true when the store reports no error and holds a key.
    bool readSettings();
    // True when the connection is open (the database is created first when it cannot be opened).
    bool connectDatabase();
    // Creates the database at connection ("host/port:file") with the typed account.
    static bool createDatabase(const QString& connection, const QString& user, const QString& password);
    // The connection, once the dialog was accepted.
    QSqlDatabase database() const { return db_; }

    // The informative text of the failed-login box for this error; empty when there is none.
    static QString Advice(const QSqlError& error);

private slots:
    void settings();
    void check();

private:
    console::ConnectionSettings settings_;
    QSqlDatabase db_;
    std::unique_ptr<Ui::LoginWindow> ui;
    SettingsDialog settingsDialog_;
};
