#include "console/DBUsersDialog.h"

#include "console/NewDBUserDialog.h"
#include "ui_DBUsersDialog.h"

#include <QDebug>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>

namespace {
const char* const kUsersQuery =
    "SELECT DISTINCT RDB$USER FROM RDB$USER_PRIVILEGES where ((RDB$RELATION_NAME='QUEUE') or "
    "(RDB$RELATION_NAME='INCOMINGLOG') or (RDB$RELATION_NAME='OUTGOINGLOG') or (RDB$RELATION_NAME='USERS') or "
    "(RDB$RELATION_NAME='CALLSLOG') or (RDB$RELATION_NAME='BLACKLIST') or (RDB$RELATION_NAME='DBLOG') or "
    "(RDB$RELATION_NAME='MANAGER')) and (RDB$USER_TYPE=8)";
} // namespace

DBUsersDialog::DBUsersDialog(QWidget* parent)
    : QDialog(parent), model_(std::make_unique<QSqlQueryModel>()), ui(std::make_unique<Ui::DBUsersDialog>())
{
    ui->setupUi(this);
    ui->tableDBUsers->setModel(model_.get());
    connect(ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->addButton, &QPushButton::clicked, this, &DBUsersDialog::pressAddUserButton);
    connect(ui->deleteButton, &QPushButton::clicked, this, &DBUsersDialog::pressDeleteUserButton);
}

DBUsersDialog::~DBUsersDialog() = default;

void DBUsersDialog::setDatabase(QSqlDatabase* database)
{
    db_ = database;
    refreshDBUsers();
}

void DBUsersDialog::refreshDBUsers()
{
    if (!db_)
        return;
    model_->setQuery(kUsersQuery, *db_);
    model_->setHeaderData(0, Qt::Horizontal, tr("Login name"), Qt::EditRole);
}

bool DBUsersDialog::IsPlainUserName(const QString& name)
{
    static const QRegularExpression plain("^[A-Za-z][A-Za-z0-9_$]{0,30}$");
    return plain.match(name).hasMatch();
}

QString DBUsersDialog::Quoted(const QString& value)
{
    QString doubled = value;
    doubled.replace("'", "''");
    return "'" + doubled + "'";
}

bool DBUsersDialog::refuseBadName(const QString& name)
{
    if (IsPlainUserName(name))
        return false;
    QMessageBox::information(this, tr("Error message"),
                             tr("A user name starts with a Latin letter and holds only Latin letters, digits, "
                                "'_' and '$', at most 31 of them."));
    return true;
}

void DBUsersDialog::pressAddUserButton()
{
    NewDBUserDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    addDBUser(dialog.userName(), dialog.password(), dialog.firstName(), dialog.middleName(), dialog.lastName());
    refreshDBUsers();
}

void DBUsersDialog::pressDeleteUserButton()
{
    const QString name = ui->tableDBUsers->currentIndex().data().toString().trimmed();
    if (!name.isEmpty())
        deleteDBUser(name);
    refreshDBUsers();
}

void DBUsersDialog::addDBUser(const QString& name, const QString& password, const QString& first,
                              const QString& middle, const QString& last)
{
    if (name.toUpper() == "SYSDBA") {
        QMessageBox::information(this, tr("Error message"), tr("You can't add new SYSDBA user."));
        return;
    }
    if (refuseBadName(name))
        return;
    if (checkUserExistence(name)) {
        QMessageBox::information(this, tr("Error message"), tr("You can't add user which already exists in database."));
        return;
    }
    if (!createDBUser(name, password, first, middle, last))
        return;
    SetUserRole(name, "MANAGER");
}

void DBUsersDialog::deleteDBUser(const QString& name)
{
    if (name.toUpper() == "SYSDBA") {
        QMessageBox::information(this, tr("Error message"), tr("You can't delete SYSDBA user."));
        return;
    }
    if (refuseBadName(name))
        return;
    if (checkUserExistence(name)) {
        QString user = name;
        QString role = "MANAGER";
        TakeAwayUserRole(user, role);
    } else {
        QMessageBox::information(this, tr("Error message"), tr("You can't delete user which is not exist in database."));
    }
}

bool DBUsersDialog::checkUserExistence(const QString& name)
{
    qDebug().noquote() << "Try to check user " + name + " existence";
    if (!db_ || !db_->isOpen()) {
        qDebug().noquote() << "Database was not open." << (db_ ? db_->lastError().text() : QString());
        return false;
    }
    const QString statement =
        "SELECT DISTINCT RDB$USER FROM RDB$USER_PRIVILEGES where (RDB$USER=" + Quoted(name) + ")";
    QSqlQuery query(*db_);
    if (!query.prepare(statement) || !query.exec()) {
        qDebug().noquote() << "Can't execute query." << query.lastError().text();
        qDebug().noquote() << "Query=" + statement;
        return false;
    }
    if (query.next()) {
        qDebug().noquote() << "User " + name + " was found in DB.";
        return true;
    }
    qDebug().noquote() << "User " + name + " was NOT found in DB.";
    return false;
}

bool DBUsersDialog::createDBUser(const QString& name, const QString& password, const QString& first,
                                 const QString& middle, const QString& last)
{
    qDebug().noquote() << "Try to create new user " + name;
    if (!IsPlainUserName(name)) {
        qDebug().noquote() << "Can't create user " + name + " not a plain user name";
        return false;
    }
    const QString statement = "CREATE USER " + name + " PASSWORD " + Quoted(password) + " FIRSTNAME " +
                              Quoted(first) + " MIDDLENAME " + Quoted(middle) + " LASTNAME " + Quoted(last);
    return runAccountStatement(statement, "User " + name + " created", "Can't create user " + name);
}

bool DBUsersDialog::SetUserRole(const QString& user, const QString& role)
{
    qDebug().noquote() << "Try to set role " + role + " to user " + user;
    if (!IsPlainUserName(user) || !IsPlainUserName(role)) {
        qDebug().noquote() << "Can't give role " + role + " to " + user + " not a plain name";
        return false;
    }
    return runAccountStatement("GRANT " + role + " TO " + user, "Role " + role + " was given to " + user,
                               "Can't give role " + role + " to " + user);
}

bool DBUsersDialog::TakeAwayUserRole(QString& username, QString& role_name)
{
    qDebug().noquote() << "Try to take away role " + role_name + " from user " + username;
    if (!IsPlainUserName(username) || !IsPlainUserName(role_name)) {
        qDebug().noquote() << "Can't take away role " + role_name + " from " + username + " not a plain name";
        return false;
    }
    return runAccountStatement("REVOKE " + role_name + " FROM " + username,
                               "Role " + role_name + " was taken away from " + username,
                               "Can't take away role " + role_name + " from " + username);
}

bool DBUsersDialog::runAccountStatement(const QString& statement, const QString& success, const QString& failure)
{
    if (!db_ || !db_->isOpen()) {
        qDebug().noquote() << "Database is not opened";
        return false;
    }
    qDebug().noquote() << "Try execute SQL script";
    QSqlQuery query(*db_);
    if (!query.prepare(statement)) {
        qDebug().noquote() << "Can't prepare SQL statement for execution" << query.lastError().text()
                           << " \nDriver error:" << query.lastError().driverText()
                           << " \nDatabase error:" << query.lastError().databaseText();
        return false;
    }
    if (!query.exec()) {
        qDebug().noquote() << failure << query.lastError().text();
        return false;
    }
    qDebug().noquote() << success;
    return true;
}
