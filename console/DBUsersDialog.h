// The administrator's list of operator accounts: accounts are created into the role MANAGER and
// taken out of it again, never dropped.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class QSqlDatabase;
class QSqlQueryModel;

namespace Ui {
class DBUsersDialog;
}

class DBUsersDialog : public QDialog
{
    Q_OBJECT

public:
    explicit DBUsersDialog(QWidget* parent = nullptr);
    ~DBUsersDialog() override;

    // The main window's connection; the list is queried again at once.
    void setDatabase(QSqlDatabase* database);
    void refreshDBUsers();
    QSqlQueryModel* usersModel() const { return model_.get(); }

    bool checkUserExistence(const QString& name);
    // True when an account of this name exists on the server, with rights here or not.
    bool accountExists(const QString& name);
    bool createDBUser(const QString& name, const QString& password, const QString& first, const QString& middle,
                      const QString& last);
    bool SetUserRole(const QString& user, const QString& role);
    void addDBUser(const QString& name, const QString& password, const QString& first, const QString& middle,
                   const QString& last);
    void deleteDBUser(const QString& name);

    // Account statements are joined from typed texts: a user name must be a plain identifier (a Latin
    // letter, then letters, digits, '_' or '$', at most 31), and a quoted value has its quotes doubled.
    static bool IsPlainUserName(const QString& name);
    static QString Quoted(const QString& value);

private slots:
    void pressAddUserButton();
    void pressDeleteUserButton();
    bool TakeAwayUserRole(QString& username, QString& role_name);

private:
    bool runAccountStatement(const QString& statement, const QString& success, const QString& failure);
    bool refuseBadName(const QString& name);

    QSqlDatabase* db_ = nullptr;
    std::unique_ptr<QSqlQueryModel> model_;
    std::unique_ptr<Ui::DBUsersDialog> ui;
};
