// Where a connection of the service attaches: a copy of what the settings name, so that it can be
// used away from the thread that owns the connection.
#pragma once

#include <QSqlDatabase>
#include <QString>

#include <string>

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

// Qt's driver passes no connect timeout to the client library, whose default wait for a host that drops
// packets is minutes. So the server is first asked by an attachment of our own that waits at most
// timeoutSeconds. False, with the client library's text, when it did not answer in time (the driver's
// attempt would only wait as long again); true when it answered, even with an error, which the driver's
// own attempt then reports, and for a target with no network between (another driver, a local file).
bool ServerAnswersInTime(const DatabaseTarget& target, int timeoutSeconds, std::string& error);
