// road-db PORT USER PASSWORD [SUBSCRIBERS]: readies the demo's database NORVEL_CALLBACK on the Firebird
// server at 127.0.0.1:PORT: creates it when missing, builds the schema when it has none, and adds the
// sample subscribers and blacklist pattern when they are not there yet. Safe to run on every start.
// SUBSCRIBERS adds that many more (caller IDs 1000001 and on, PIN 1234), for benchmarks.
#include "common/Firebird.h"
#include "common/Schema.h"
#include "tests/support/TestDatabase.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

int Fail(const QString& what)
{
    std::fprintf(stderr, "road-db: %s\n", qPrintable(what));
    return 1;
}

bool Exists(QSqlDatabase& db, const QString& select)
{
    QSqlQuery q(db);
    return q.exec(select) && q.next() && q.value(0).toInt() > 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: road-db PORT USER PASSWORD [SUBSCRIBERS]\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]), user = QString::fromLocal8Bit(argv[2]),
                  password = QString::fromLocal8Bit(argv[3]);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QIBASE"));
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(port.toInt());
        db.setDatabaseName(QStringLiteral("NORVEL_CALLBACK"));
        db.setUserName(user);
        db.setPassword(password);
        if (!db.open()) {
            std::string error;
            const std::string location = "127.0.0.1/" + port.toStdString() + ":NORVEL_CALLBACK";
            if (!firebird::CreateDatabase(
                    Schema::CreateDatabaseStatement(location, user.toStdString(), password.toStdString()), error))
                return Fail(QString::fromStdString(error));
            if (!db.open())
                return Fail(db.lastError().text());
        }
        QSqlQuery probe(db);
        if (!probe.exec(QStringLiteral("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'USERS'")) ||
            !probe.next())
            return Fail(probe.lastError().text());
        if (probe.value(0).toInt() == 0) {
            try {
                TestDatabase::buildSchema(db);
            } catch (const std::exception& e) {
                return Fail(QString::fromUtf8(e.what()));
            }
        }
        struct Row
        {
            const char* callerId;
            const char* pin;
            const char* name;
        };
        for (const Row& r : {Row{"1234567", "1234", "Alice"}, Row{"84951234567", "4321", "Bob"}}) {
            if (Exists(db, QStringLiteral("SELECT COUNT(*) FROM USERS WHERE CALLERID = '%1'").arg(QLatin1String(r.callerId))))
                continue;
            QSqlQuery q(db);
            q.prepare(QStringLiteral("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (:c, :p, 3, :n, 1)"));
            q.bindValue(QStringLiteral(":c"), QLatin1String(r.callerId));
            q.bindValue(QStringLiteral(":p"), QLatin1String(r.pin));
            q.bindValue(QStringLiteral(":n"), QLatin1String(r.name));
            if (!q.exec())
                return Fail(q.lastError().text());
        }
        if (!Exists(db, QStringLiteral("SELECT COUNT(*) FROM BLACKLIST"))) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (3, '9?8800[0-9]*')")))
                return Fail(q.lastError().text());
        }
        const int more = argc == 5 ? std::atoi(argv[4]) : 0;
        if (more > 0 && !Exists(db, QStringLiteral("SELECT COUNT(*) FROM USERS WHERE CALLERID = '1000001'"))) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < %1) DO BEGIN "
                                       "INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES "
                                       "(1000001 + :i, '1234', 3, 'Bench', 1); i = i + 1; END END")
                            .arg(more)))
                return Fail(q.lastError().text());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
    return 0;
}
