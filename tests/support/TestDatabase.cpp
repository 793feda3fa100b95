#include "tests/support/TestDatabase.h"

#include "common/Firebird.h"
#include "common/Schema.h"
#include "tests/support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QUuid>

#include <ibase.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {
[[noreturn]] void fail(const QString& what) { throw std::runtime_error(what.toStdString()); }

QString required(const char* name)
{
    QString value = qEnvironmentVariable(name);
    if (value.isEmpty())
        fail(QStringLiteral("%1 is not set, while other SELV_FB_* are").arg(QLatin1String(name)));
    return value;
}

int portNumber(const QString& text)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port <= 0)
        fail(QStringLiteral("SELV_FB_PORT is not a port number"));
    return port;
}

std::atomic<int> g_connectionCounter{0};
} // namespace

FbServerEnv FbServerEnv::fromEnvironment()
{
    if (!qEnvironmentVariableIsSet("SELV_FB_DIR") && !qEnvironmentVariableIsSet("SELV_FB_PORT")) {
        const QString fixture = QStringLiteral(SELV_FB_FIXTURE_ENV);
        if (!QFile::exists(fixture))
            fail(QStringLiteral("SELV_FB_* are not set and there is no %1: run the tests with ctest (its "
                                "fixture \"firebird\" starts the server), or start one with tests/fbserver.sh "
                                "start DIR and source DIR/env")
                     .arg(fixture));
        return fromFile(fixture);
    }
    FbServerEnv env;
    env.dir = required("SELV_FB_DIR");
    env.port = portNumber(required("SELV_FB_PORT"));
    env.user = required("SELV_FB_USER");
    env.password = required("SELV_FB_PASSWORD");
    return env;
}

FbServerEnv FbServerEnv::fromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(path));
    FbServerEnv env;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QString text = QString::fromUtf8(line).remove(QStringLiteral("export ")).trimmed();
        const QString key = text.section(QLatin1Char('='), 0, 0), value = text.section(QLatin1Char('='), 1);
        if (key == QLatin1String("SELV_FB_DIR"))
            env.dir = value;
        else if (key == QLatin1String("SELV_FB_PORT"))
            env.port = portNumber(value);
        else if (key == QLatin1String("SELV_FB_USER"))
            env.user = value;
        else if (key == QLatin1String("SELV_FB_PASSWORD"))
            env.password = value;
    }
    if (env.dir.isEmpty() || env.port <= 0)
        fail(QStringLiteral("%1 names no server folder or port").arg(path));
    return env;
}

TestDatabase::TestDatabase(Content content) : TestDatabase(content, FbServerEnv::fromEnvironment()) {}

TestDatabase::TestDatabase(Content content, const FbServerEnv& server) : server_(server)
{
    path_ = uniquePath(server_);
    std::string error;
    std::string statement = Schema::CreateDatabaseStatement(location().toStdString(), server_.user.toStdString(),
                                                            server_.password.toStdString());
    if (!firebird::CreateDatabase(statement, error))
        fail(QStringLiteral("cannot create test database %1: %2").arg(location(), QString::fromStdString(error)));
    try {
        QSqlDatabase first = connect();
        if (content != Empty)
            buildSchema(first, content == FullSchema);
    } catch (...) {
        release();
        throw;
    }
}

TestDatabase::~TestDatabase() { release(); }

void TestDatabase::release()
{
    for (const QString& name : connections_) {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    connections_.clear();
    drop(server_, path_);
}

QString TestDatabase::location() const
{
    return QStringLiteral("%1/%2:%3").arg(server_.host).arg(server_.port).arg(path_);
}

QSqlDatabase TestDatabase::db() const { return QSqlDatabase::database(connections_.value(0), false); }

QSqlDatabase TestDatabase::connect()
{
    QString name = QStringLiteral("testdb-%1").arg(g_connectionCounter.fetch_add(1));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QIBASE"), name);
    connections_ << name;
    db.setHostName(server_.host);
    db.setPort(server_.port);
    db.setDatabaseName(path_);
    db.setUserName(server_.user);
    db.setPassword(server_.password);
    if (!db.open())
        fail(QStringLiteral("cannot open test database %1: %2").arg(location(), db.lastError().text()));
    return db;
}

void TestDatabase::exec(const QString& sql) const
{
    QSqlQuery query(db());
    if (!query.exec(sql))
        fail(QStringLiteral("%1: %2").arg(sql, query.lastError().text()));
}

QVariantList TestDatabase::row(QSqlDatabase db, const QString& sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        fail(QStringLiteral("%1: %2").arg(sql, query.lastError().text()));
    QVariantList values;
    if (query.next())
        for (int i = 0; i < query.record().count(); ++i)
            values << query.value(i);
    return values;
}

void TestDatabase::buildSchema(QSqlDatabase& db, bool withOptional)
{
    auto run = [&db](std::string_view statement) {
        QSqlQuery query(db);
        QString text = QString::fromUtf8(statement.data(), qsizetype(statement.size()));
        if (!query.exec(text))
            fail(QStringLiteral("schema statement failed: %1: %2").arg(text, query.lastError().text()));
    };
    for (const Schema::Object& object : Schema::Objects)
        run(object.statement);
    for (std::string_view grant : Schema::ManagerGrants)
        run(grant);
    if (withOptional)
        for (const Schema::OptionalObject& object : Schema::OptionalObjects)
            run(object.statement);
}

QString TestDatabase::uniquePath(const FbServerEnv& server, const QString& stem)
{
    return QStringLiteral("%1/data/%2-%3-%4.fdb")
        .arg(server.dir, stem)
        .arg(getpid())
        .arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
}

void TestDatabase::drop(const FbServerEnv& server, const QString& path)
{
    if (path.isEmpty() || !QFile::exists(path))
        return;
    ISC_STATUS_ARRAY status = {};
    isc_db_handle handle = 0;
    firebird::ParameterBlock dpb;
    dpb.Add(isc_dpb_user_name, server.user.toStdString()).Add(isc_dpb_password, server.password.toStdString());
    QByteArray where = QStringLiteral("%1/%2:%3").arg(server.host).arg(server.port).arg(path).toUtf8();
    if (isc_attach_database(status, 0, where.constData(), &handle, dpb.Size(), dpb.Data()) == 0 &&
        isc_drop_database(status, &handle) == 0)
        return;
    if (handle)
        isc_detach_database(status, &handle);
    QFile::remove(path); // the server is gone or still attached elsewhere: the file must not pile up
}

PrivateFbServer::PrivateFbServer()
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/selvane-fbpriv-XXXXXX"));
    if (!dir.isValid())
        fail(QStringLiteral("cannot make a folder for a private Firebird server"));
    env_.dir = dir.path();
    try {
        start();
    } catch (...) {
        try {
            stop(); // a server that started but did not answer in time
        } catch (...) {
        }
        throw; // dir removes the folder
    }
    dir.setAutoRemove(false);
}

PrivateFbServer::~PrivateFbServer()
{
    try {
        stop();
    } catch (...) {
    }
    QDir(env_.dir).removeRecursively();
}

void PrivateFbServer::run(const QStringList& arguments)
{
    testsupport::ChildProcess script;
    std::vector<std::string> argv{SELV_SOURCE_DIR "/tests/fbserver.sh"};
    for (const QString& argument : arguments)
        argv.push_back(argument.toStdString());
    if (!script.Run(argv) || script.Wait(std::chrono::seconds(60)) != 0)
        fail(QStringLiteral("tests/fbserver.sh %1 failed: %2")
                 .arg(arguments.join(QLatin1Char(' ')), QString::fromStdString(script.Output())));
}

void PrivateFbServer::start()
{
    run({QStringLiteral("start"), env_.dir, QString::number(env_.port)});
    env_ = FbServerEnv::fromFile(env_.dir + QStringLiteral("/env"));
}

void PrivateFbServer::stop() { run({QStringLiteral("stop"), env_.dir}); }
