// Where a connection of the service attaches: a copy of what the settings name, so that it can be
// used away from the thread that owns the connection.
#pragma once

#include <QSqlDatabase>
#include <QString>

struct DatabaseTarget
{
    QString driver, host, database, user, password;
    int port = -1;
};

inline DatabaseTarget TargetOf(const QSqlDatabase& db)
{
    return {db.driverName(), db.hostName(), db.databaseName(), db.userName(), db.password(), db.port()};
}

// Points a connection (of the target's driver) at the target; it is not opened here.
inline void PointAt(QSqlDatabase& db, const DatabaseTarget& target)
{
    db.setHostName(target.host);
    db.setPort(target.port);
    db.setDatabaseName(target.database);
    db.setUserName(target.user);
    db.setPassword(target.password);
}
