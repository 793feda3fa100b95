// Databases for tests on the private Firebird server that tests/fbserver.sh starts.
//
//   TestDatabase db;                          // fresh file, whole schema built in creation order
//   TestDatabase empty(TestDatabase::Empty);  // fresh file, no objects
//   TestDatabase old(TestDatabase::BaseSchema); // the schema without the optional objects
//   QSqlQuery q(db.db());                     // open connection as SYSDBA (unique connection name)
//   db.exec("INSERT ..."); db.row("SELECT ...") // a statement, the first row of a query; throw on failure
//   db.location()                             // "127.0.0.1/<port>:<file>", for code that connects itself
//
// Each instance creates a uniquely named file in the server's data folder through the Firebird client
// library and drops it (removes the file) when it goes. The server is the one SELV_FB_DIR, SELV_FB_PORT,
// SELV_FB_USER and SELV_FB_PASSWORD name; when none is set, the one the ctest fixture "firebird" started
// in the build folder (its env file). When that fails, or anything else, the constructor throws
// std::runtime_error with the reason, so the test fails loudly and is never skipped.
//
// PrivateFbServer starts a server of its own (for tests that stop and restart it), on a port picked at
// run time that stays the same across stop() and start().
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

struct FbServerEnv
{
    QString dir;
    int port = 0;
    QString user = QStringLiteral("SYSDBA"); // Firebird's own defaults
    QString password = QStringLiteral("masterkey");
    QString host = QStringLiteral("127.0.0.1");

    // Reads SELV_FB_*, or without them the fixture's env file; throws std::runtime_error naming what
    // is missing.
    static FbServerEnv fromEnvironment();
    // Reads the env file tests/fbserver.sh writes in the server's folder.
    static FbServerEnv fromFile(const QString& path);
};

class TestDatabase
{
public:
    enum Content { Empty, BaseSchema, FullSchema };

    explicit TestDatabase(Content content = FullSchema);
    TestDatabase(Content content, const FbServerEnv& server);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    // The first connection, open as the server's administrator.
    QSqlDatabase db() const;
    // A further open connection to the same file (another attachment, e.g. to receive events).
    QSqlDatabase connect();
    const QString& path() const { return path_; }
    QString location() const;
    const FbServerEnv& server() const { return server_; }

    // A statement on the first connection; throws std::runtime_error with the error when it fails.
    void exec(const QString& sql) const;
    // The first row a query returns (empty when none); throws when the query fails.
    QVariantList row(const QString& sql) const { return row(db(), sql); }
    static QVariantList row(QSqlDatabase db, const QString& sql);

    // Builds every schema object and the grants, in creation order, then (unless told not to) the
    // optional objects; throws on the first failure.
    static void buildSchema(QSqlDatabase& db, bool withOptional = true);
    // A file name in the server's data folder that no other test uses.
    static QString uniquePath(const FbServerEnv& server, const QString& stem = QStringLiteral("t"));
    // Drops the database file at path on server (no-op when it does not exist).
    static void drop(const FbServerEnv& server, const QString& path);

private:
    QSqlDatabase open(const QString& connectionName);
    void release();

    FbServerEnv server_;
    QString path_;
    QStringList connections_;
};

class PrivateFbServer
{
public:
    // Starts a server in a new temporary folder; throws when it does not come up.
    PrivateFbServer();
    ~PrivateFbServer();
    PrivateFbServer(const PrivateFbServer&) = delete;
    PrivateFbServer& operator=(const PrivateFbServer&) = delete;

    void stop();
    void start();
    const FbServerEnv& env() const { return env_; }

private:
    void run(const QStringList& arguments);
    FbServerEnv env_;
};
