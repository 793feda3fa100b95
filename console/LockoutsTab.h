// The "Lockouts" tab: the caller IDs the service has locked out after repeated callbacks without the
// right PIN, with the subscriber's name, how long the lock lasts and how many sessions failed, and an
// Unlock button that lets the selected caller in again at once.
#pragma once

#include <QSqlDatabase>
#include <QTimer>
#include <QWidget>

class QPushButton;
class QSqlQueryModel;
class QTableView;

class LockoutsTab : public QWidget
{
    Q_OBJECT

public:
    enum Column { Name, CallerId, LockedUntil, Failures };

    explicit LockoutsTab(QSqlDatabase database, QWidget* parent = nullptr);

    // Whether the database holds the lockout table and the role's rights on it (optional objects).
    static bool Available(QSqlDatabase& database);

    QSqlQueryModel* model() const { return model_; }
    // Reads the locked caller IDs again, keeping the selected one selected.
    void refresh();
    // Lets the caller ID in again; false when the database refused (the operator has been told).
    bool unlock(const QString& callerId);

private:
    void unlockSelected();

    QSqlDatabase db_;
    QSqlQueryModel* model_;
    QTableView* view_;
    QPushButton* unlockButton_;
    // A lock that runs out posts no event: the list is read again now and then.
    QTimer expiry_;
};
