// The console's main window: subscribers, incoming calls and blacklist tabs kept current by the
// database's events, the schema check and repair run on every showing, and the administrator's menu.
#pragma once

#include "common/Schema.h"
#include "console/DBUsersDialog.h"
#include "console/SettingsDialog.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QModelIndex>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class CallbackLogModel;
class IncomingLogModel;
class LockoutsTab;
class QLabel;
class QSqlTableModel;

namespace Ui {
class SelvdeskClass;
}

class Selvdesk : public QMainWindow
{
    Q_OBJECT

public:
    explicit Selvdesk(QWidget* parent = nullptr);
    ~Selvdesk() override;

    void setDatabase(const QSqlDatabase& database);
    QSqlDatabase database() const { return db_; }

    // Schema check and repair on the window's connection.
    bool checkDatabase();
    bool repairDatabase(const QStringList& tables, const QStringList& generators, const QStringList& triggers,
                        const QStringList& roles, const QStringList& rights = {}, const QStringList& indices = {},
                        const QStringList& optional = {});
    bool createTable(const QString& name);
    bool createGenerator(const QString& name);
    bool createTrigger(const QString& name);
    bool createIndex(const QString& name);
    bool createRole(const QString& name);
    bool createRight(const QString& name);
    bool createOptional(const QString& key);
    bool grantRoleRights(const QString& name);

    // The subscriber statements.
    void addCallerID(const QString& callerId, const QString& pin, const QString& name, int cos);
    void removeCallerID(const QString& callerId);
    void editUser(int id, const QString& callerId, const QString& pin, const QString& name, int cos, int active);

    void subscribeEvents();

    // The models, once the views are set up (null before).
    QSqlTableModel* usersModel() const { return usersModel_; }
    QSqlTableModel* blacklistModel() const { return blacklistModel_; }
    IncomingLogModel* incomingModel() const { return incomingModel_; }
    // The Lockouts tab; null when the database lacks the lockout's objects.
    LockoutsTab* lockoutsTab() const { return lockoutsTab_; }
    CallbackLogModel* callbackModel() const { return callbackModel_; }

signals:
    void signal_mainwindow_shown();

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void about();
    void settings();
    void users_management();
    void pressApplyButton();
    void pressOKButton();
    void pressCancelButton();
    void showTables();
    void changeTabWidget(int index);
    void showSYSDBAMenu();
    void pressDeleteUserButton();
    void pressAddUserButton();
    void pressEditUserButton();
    void pressEditUserButton(QModelIndex index);
    void showDeletedUsers(int state);
    void updated(QString event_name);
    void pressAddBlackListPattern();
    void pressDeleteBlackListPattern();

private:
    bool setUpViews();
    // True when the connection is open; otherwise writes why the statement does not run.
    bool databaseOpen() const;
    bool createObject(Schema::ObjectKind kind, const char* kindName, const QString& name);
    // Tells in the status bar which indices are missing; an empty list hides the note.
    void showMissingIndices(const QStringList& indices);
    // The same for the objects newer features need.
    void showMissingOptional(const QStringList& keys);
    // Keeps the rows in sight where they are when calls are added above them.
    void keepIncomingScroll();
    // New calls are fetched at most every kIncomingFetchMs: under a burst one query brings many.
    void fetchNewCalls();

    SettingsDialog settingsDialog_;
    DBUsersDialog usersDialog_;
    QSqlDatabase db_;
    std::unique_ptr<Ui::SelvdeskClass> ui;
    QSqlTableModel* usersModel_ = nullptr;
    QSqlTableModel* blacklistModel_ = nullptr;
    IncomingLogModel* incomingModel_ = nullptr;
    LockoutsTab* lockoutsTab_ = nullptr;
    CallbackLogModel* callbackModel_ = nullptr;
    QLabel* userLabel_ = nullptr;
    QLabel* indicesLabel_ = nullptr;
    QLabel* optionalLabel_ = nullptr;
    QTimer incomingFetch_;
    QElapsedTimer sinceIncomingFetch_;
};
