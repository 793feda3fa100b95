#include "console/DBUsersDialog.h"

#include "console/NewDBUserDialog.h"
#include "console/Statement.h"
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
    if (model_->lastError().isValid())
        console::ShowStatementFailure(this, model_->lastError(), kUsersQuery);
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
    // An account without rights here (taken out of the role before, or another program's) is not
    // created again: the server would keep the old one and its password. Its owner's consent is the
    // administrator's to give.
    if (accountExists(name)) {
        const auto answer = QMessageBox::question(
            this, tr("Database users"),
            tr("The account %1 already exists on the database server. Give it the role MANAGER again? Its "
               "password and names stay as they are.")
                .arg(name.toUpper()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::Yes)
            SetUserRole(name, "MANAGER");
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
    // The catalogue holds a plain name as Firebird folds it: in upper case.
    const QString statement =
        "SELECT DISTINCT RDB$USER FROM RDB$USER_PRIVILEGES where (RDB$USER=" + Quoted(name.toUpper()) + ")";
    QSqlQuery query(*db_);
    if (!console::RunStatement(query, statement, {}, this))
        return false;
    if (query.next()) {
        qDebug().noquote() << "User " + name + " was found in DB.";
        return true;
    }
    qDebug().noquote() << "User " + name + " was NOT found in DB.";
    return false;
}

bool DBUsersDialog::accountExists(const QString& name)
{
    if (!db_ || !db_->isOpen())
        return false;
    QSqlQuery query(*db_);
    return console::RunStatement(query, "SELECT COUNT(*) FROM SEC$USERS WHERE SEC$USER_NAME = :name",
                                 {{":name", name.toUpper()}}, this) &&
           query.next() && query.value(0).toInt() > 0;
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
    // Firebird refuses a duplicate account only when the transaction commits: run it in one of its own
    // and take the commit's answer.
    if (!db_ || !db_->isOpen() || !db_->transaction())
        return runAccountStatement(statement, "User " + name + " created", "Can't create user " + name);
    if (!runAccountStatement(statement, "User " + name + " accepted, committing", "Can't create user " + name)) {
        db_->rollback();
        return false;
    }
    if (!db_->commit()) {
        qDebug().noquote() << "Can't create user " + name << db_->lastError().text();
        console::ShowStatementFailure(this, db_->lastError(), statement);
        db_->rollback();
        return false;
    }
    qDebug().noquote() << "User " + name + " created";
    return true;
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
    if (!console::RunStatement(query, statement, {}, this)) {
        qDebug().noquote() << failure << " \nDriver error:" << query.lastError().driverText()
                           << " \nDatabase error:" << query.lastError().databaseText();
        return false;
    }
    qDebug().noquote() << success;
    return true;
}
