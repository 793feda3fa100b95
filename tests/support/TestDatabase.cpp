#include "tests/support/TestDatabase.h"

#include "common/Firebird.h"
#include "common/Schema.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
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
        fail(QStringLiteral("%1 is not set: start the test Firebird server with tests/fbserver.sh start DIR "
                            "and source DIR/env (tests/run-tests.sh does both)")
                 .arg(QLatin1String(name)));
    return value;
}

std::atomic<int> g_connectionCounter{0};
} // namespace

FbServerEnv FbServerEnv::fromEnvironment()
{
    FbServerEnv env;
    env.dir = required("SELV_FB_DIR");
    bool ok = false;
    env.port = required("SELV_FB_PORT").toInt(&ok);
    if (!ok || env.port <= 0)
        fail(QStringLiteral("SELV_FB_PORT is not a port number"));
    env.user = required("SELV_FB_USER");
    env.password = required("SELV_FB_PASSWORD");
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
        if (content == FullSchema)
            buildSchema(first);
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

void TestDatabase::buildSchema(QSqlDatabase& db)
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
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral(SELV_SOURCE_DIR "/tests/fbserver.sh"), arguments);
    if (!script.waitForFinished(60000) || script.exitStatus() != QProcess::NormalExit || script.exitCode() != 0)
        fail(QStringLiteral("tests/fbserver.sh %1 failed: %2")
                 .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(script.readAll())));
}

void PrivateFbServer::start()
{
    run({QStringLiteral("start"), env_.dir, QString::number(env_.port)});
    QFile file(env_.dir + QStringLiteral("/env"));
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("no env file in %1").arg(env_.dir));
    for (const QByteArray& line : file.readAll().split('\n')) {
        QString text = QString::fromUtf8(line).remove(QStringLiteral("export ")).trimmed();
        QString key = text.section(QLatin1Char('='), 0, 0), value = text.section(QLatin1Char('='), 1);
        if (key == QLatin1String("SELV_FB_PORT"))
            env_.port = value.toInt();
        else if (key == QLatin1String("SELV_FB_USER"))
            env_.user = value;
        else if (key == QLatin1String("SELV_FB_PASSWORD"))
            env_.password = value;
    }
    if (env_.port <= 0 || env_.user.isEmpty())
        fail(QStringLiteral("the env file in %1 names no port or user").arg(env_.dir));
}

void PrivateFbServer::stop() { run({QStringLiteral("stop"), env_.dir}); }
