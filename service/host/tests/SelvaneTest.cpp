// The Selvane executable as an administrator meets it: each case runs the real program with a registry,
// settings folder, runtime folder and systemd unit folder of its own.
#include "platform/ServiceManager.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRunTimeoutMs = 15000;
const std::string kName = "Callback Server";

struct Result
{
    int code = -100;
    QByteArray out;
    QByteArray err;
};

class SelvaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir root(dir.path());
        for (const char* sub : {"bin", "work", "xdg/Brint", "units"})
            root.mkpath(sub);
        program = dir.filePath("bin/Selvane");
        // A copy of its own: the service writes log.txt beside the program.
        ASSERT_TRUE(QFile::copy(QStringLiteral(SELVANE_EXE), program));
        setenv("XDG_CONFIG_DIRS", qPrintable(dir.filePath("xdg")), 1);
        setenv("SELVANE_SERVICE_REGISTRY", qPrintable(dir.filePath("registry/services.ini")), 1);
        setenv("SELVANE_RUNTIME_DIR", qPrintable(dir.filePath("run")), 1);
        setenv("SELVANE_SYSTEMD_UNIT_DIR", qPrintable(dir.filePath("units")), 1);
    }

    void TearDown() override
    {
        platform::ServiceStatus status;
        if (platform::QueryServiceStatus(kName, &status) && status.processId > 0)
            kill(status.processId, SIGKILL);
    }

    // By default the database is unreachable (nothing listens on port 1): the service runs all the same.
    void WriteSettings(const QByteArray& ini = "[Database]\nDriverName=QIBASE\nHostName=127.0.0.1\n"
                                               "DatabasePort=1\nUserName=SYSDBA\nPassword=none\n"
                                               "[Other]\nLoggingLevel=7\n")
    {
        QFile f(dir.filePath("xdg/Brint/Selvane.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(ini);
    }

    // environment: set on top of the test's.
    Result Run(const QStringList& args, int timeoutMs = kRunTimeoutMs, const QMap<QString, QString>& environment = {})
    {
        testsupport::ChildProcess p;
        if (!p.MakeFolder())
            return {};
        p.SetWorkingDirectory(dir.filePath("work").toStdString());
        p.SetErrorFile(p.Folder() + "/errors");
        for (auto it = environment.begin(); it != environment.end(); ++it)
            p.SetEnvironment(it.key().toStdString(), it.value().toStdString());
        std::vector<std::string> argv{program.toStdString()};
        for (const QString& arg : args)
            argv.push_back(arg.toStdString());
        const int code = p.Run(argv) ? p.Wait(std::chrono::milliseconds(timeoutMs)) : -100;
        if (code == testsupport::ChildProcess::kTimedOut)
            ADD_FAILURE() << "Selvane " << qPrintable(args.join(' ')) << " did not end within " << timeoutMs
                          << " ms";
        return {code >= 0 ? static_cast<signed char>(code) : -100, QByteArray::fromStdString(p.Output()),
                QByteArray::fromStdString(p.Errors())};
    }

    QString Log() const
    {
        QFile f(dir.filePath("bin/log.txt"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    int Count(const QString& text) const { return static_cast<int>(Log().count(text)); }

    // Until log.txt holds the text `times` times; false after the time limit.
    bool WaitForLog(const QString& text, int times = 1, int timeoutMs = 15000) const
    {
        return testsupport::WaitFor([&] { return Count(text) >= times; }, std::chrono::milliseconds(timeoutMs));
    }

    platform::ServiceStatus Status() const
    {
        platform::ServiceStatus status;
        platform::QueryServiceStatus(kName, &status);
        return status;
    }

    // The daemon is no child of ours: it has ended when it is gone or a zombie.
    static bool Ended(pid_t pid)
    {
        return testsupport::WaitFor(
            [pid] {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            },
            std::chrono::seconds(5));
    }

    QSettings Registry() const
    {
        return QSettings(dir.filePath("registry/services.ini"), QSettings::IniFormat);
    }

    QByteArray Version(bool installed, bool running) const
    {
        return "The service\n\tCallback Server\n\t" + program.toLatin1() + "\n\nis " +
               (installed ? "installed" : "not installed") + " and " + (running ? "running" : "not running") +
               "\n\n";
    }

    // "Service started" is logged just before the service reports itself running; a stop asked for in
    // between is refused as busy.
    bool WaitForRunning() const
    {
        return testsupport::WaitFor([this] { return Status().state == platform::ServiceState::Running; },
                                    std::chrono::seconds(15));
    }

    void StartFromConsole(const QStringList& args = {})
    {
        ASSERT_EQ(Run({"-i"}).code, 0);
        const Result start = Run(args);
        ASSERT_EQ(start.code, 0) << start.err.constData();
        ASSERT_TRUE(WaitForLog("Service started")) << qPrintable(Log());
        ASSERT_TRUE(WaitForRunning());
    }

    QTemporaryDir dir;
    QString program;
};

TEST_F(SelvaneTest, WithoutSettingsEveryInvocationEndsWithMinusOneAndPrintsNothing)
{
    for (const QStringList& args : {QStringList{"-h"}, QStringList{"-i"}, QStringList{"-v"}, QStringList{}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.code, -1) << qPrintable(args.join(' '));
        EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
        EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    }
    EXPECT_FALSE(QFile::exists(dir.filePath("registry/services.ini")));

    WriteSettings(""); // a file without any key is no configuration either
    EXPECT_EQ(Run({"-h"}).code, -1);
}

TEST_F(SelvaneTest, HelpPrintsTheUsageTextUnchanged)
{
    WriteSettings();
    const QByteArray usage = "\n" + program.toLatin1() +
                             " -[i|u|e|s|v|h]\n\t-i(nstall) [account] [password]\t: Install the service, "
                             "optionally using given account "
                             "and password\n\t-u(ninstall)\t: Uninstall the service.\n\t-e(xec)\t\t: Run as "
                             "a regular application. Useful "
                             "for debugging.\n\t-t(erminate)\t: Stop the service.\n\t-c(ommand) num\t: Send "
                             "command code num to the "
                             "service.\n\t-v(ersion)\t: Print version and status information.\n\t-h(elp)   "
                             "\t: Show this help\n\tNo "
                             "arguments\t: Start the service.\n";
    for (const char* option : {"-h", "-help"}) {
        const Result r = Run({option});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_TRUE(r.err.isEmpty());
    }
}

TEST_F(SelvaneTest, InstallUninstallAndTheirRepeats)
{
    WriteSettings();
    EXPECT_EQ(Run({"-v"}).out, Version(false, false));
    Result r = Run({"-u"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "The service Callback Server is not installed\n");
    EXPECT_TRUE(r.out.isEmpty());

    r = Run({"-i"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "The service Callback Server has been installed under: " + program.toLatin1() + "\n");
    EXPECT_TRUE(r.err.isEmpty());
    r = Run({"-install"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "The service Callback Server is already installed\n");
    EXPECT_TRUE(r.out.isEmpty());

    QSettings registry = Registry();
    registry.beginGroup(QString::fromStdString(kName));
    EXPECT_EQ(registry.value("Program").toString(), program);
    EXPECT_EQ(registry.value("Description").toString(), "Norvel CallBack Server");
    EXPECT_EQ(registry.value("DisplayName").toString(), "Callback Server");
    EXPECT_EQ(registry.value("StartType").toString(), "demand");
    QFile unit(dir.filePath("units/callback-server.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    EXPECT_TRUE(unit.readAll().contains("ExecStart=\"" + program.toLatin1() + "\" -e\n"));
    unit.close();

    EXPECT_EQ(Run({"-v"}).out, Version(true, false));
    r = Run({"-u"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "The service Callback Server has been uninstalled.\n");
    EXPECT_FALSE(unit.exists());
    EXPECT_EQ(Run({"-uninstall"}).err, "The service Callback Server is not installed\n");
}

TEST_F(SelvaneTest, InstallAccountRules)
{
    WriteSettings();
    struct Case
    {
        QStringList args;
        QString account;
        bool password;
        bool interactive;
    };
    const Case cases[] = {
        {{"-i", "alice", "pw"}, ".\\alice", true, false},
        {{"-i", "CORP\\bob", "pw"}, "CORP\\bob", true, false},
        {{"-i", "alice", ""}, ".\\alice", false, false},
        {{"-i", "LocalSystem", "pw"}, "", false, true},
        {{"-i", "NT AUTHORITY\\LocalSystem"}, "", false, true},
        {{"-i"}, "", false, true},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Run(c.args).code, 0) << qPrintable(c.args.join(' '));
        QSettings registry = Registry();
        registry.beginGroup(QString::fromStdString(kName));
        EXPECT_EQ(registry.value("Account").toString(), c.account) << qPrintable(c.args.join(' '));
        EXPECT_EQ(registry.value("HasPassword").toBool(), c.password) << qPrintable(c.args.join(' '));
        const unsigned type = registry.value("ServiceType").toUInt();
        EXPECT_EQ((type & platform::ServiceInteractiveProcess) != 0, c.interactive)
            << qPrintable(c.args.join(' '));
        EXPECT_EQ(type & platform::ServiceOwnProcess, platform::ServiceOwnProcess);
        ASSERT_EQ(Run({"-u"}).code, 0);
    }
}

TEST_F(SelvaneTest, UnknownOrWrongCaseOptionStartsAsTheService)
{
    WriteSettings();
    for (const char* option : {"-INSTALL", "-x"}) {
        const Result r = Run({option});
        EXPECT_EQ(r.code, -4) << option;
        EXPECT_EQ(r.err, "The service Callback Server could not start\n");
    }
    EXPECT_FALSE(platform::IsServiceInstalled(kName)) << "-INSTALL is not -install";
}

TEST_F(SelvaneTest, ConsoleStartRunsTheInstalledDaemonUnderControl)
{
    WriteSettings();
    StartFromConsole({"-x"});
    platform::ServiceStatus status = Status();
    ASSERT_GT(status.processId, 0);
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(status.processId));
    ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
    EXPECT_EQ(cmdline.readAll(), program.toLocal8Bit() + '\0' + "-x" + '\0') << "the argument is passed on";
    EXPECT_EQ(Run({"-v"}).out, Version(true, true));
    EXPECT_EQ(Run({}).code, -4) << "a running service is not started twice";

    Result r = Run({"-p"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.isEmpty() && r.err.isEmpty());
    EXPECT_EQ(Status().state, platform::ServiceState::Paused);
    EXPECT_EQ(Run({"-r"}).code, 0);
    EXPECT_EQ(Status().state, platform::ServiceState::Running);

    for (const QStringList& args :
         {QStringList{"-c", "5"}, QStringList{"-c", "200"}, QStringList{"-command"}}) {
        r = Run(args);
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.out.isEmpty() && r.err.isEmpty());
    }
    EXPECT_EQ(Count("Service control 2\n"), 1);
    EXPECT_EQ(Count("Service control 3\n"), 1);
    EXPECT_EQ(Count("Service control 133\n"), 1);
    EXPECT_EQ(Count("Service control 128\n"), 1) << "-c without a number sends code 0";
    EXPECT_EQ(Count("Service control 328\n"), 0);
    EXPECT_EQ(Count("Service control 72\n"), 0);

    QElapsedTimer t;
    t.start();
    r = Run({"-t"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_EQ(Run({"-v"}).out, Version(true, false));
    EXPECT_TRUE(Ended(status.processId));
}

TEST_F(SelvaneTest, UninstallWhileRunningTakesEffectWhenTheServiceStops)
{
    WriteSettings();
    StartFromConsole();
    const pid_t pid = Status().processId;
    ASSERT_GT(pid, 0);
    QFile unit(dir.filePath("units/callback-server.service"));

    Result r = Run({"-u"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "The service Callback Server has been uninstalled.\n");
    EXPECT_EQ(Run({"-v"}).out, Version(true, true)) << "marked for deletion, it still runs under control";
    r = Run({"-i"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "The service Callback Server is already installed\n");
    r = Run({"-u"});
    EXPECT_EQ(r.code, -1) << "already marked";
    EXPECT_EQ(r.err, "The service Callback Server could not be uninstalled\n");
    EXPECT_EQ(Run({}).code, -4) << "no second daemon beside the running one";
    EXPECT_TRUE(unit.exists());

    r = Run({"-t"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_TRUE(Ended(pid));
    EXPECT_EQ(Run({"-v"}).out, Version(false, false));
    EXPECT_FALSE(Registry().childGroups().contains(QString::fromStdString(kName))) << "the entry is gone";
    EXPECT_FALSE(unit.exists());
    r = Run({"-i"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "The service Callback Server has been installed under: " + program.toLatin1() + "\n");
}

// The service's connections to the private Firebird server, as the server's monitoring tables list them.
class DatabaseWatch
{
public:
    DatabaseWatch() : server(FbServerEnv::fromEnvironment())
    {
        settings = QStringLiteral("[Database]\nDriverName=QIBASE\nHostName=localhost\nDatabasePort=%1\n"
                                  "UserName=%2\nPassword=%3\n[Other]\nLoggingLevel=7\n")
                       .arg(server.port)
                       .arg(server.user, server.password)
                       .toUtf8();
        db = QSqlDatabase::addDatabase("QIBASE", "watch");
        db.setHostName("localhost");
        db.setPort(server.port);
        db.setDatabaseName("NORVEL_CALLBACK");
        db.setUserName(server.user);
        db.setPassword(server.password);
    }
    ~DatabaseWatch()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("watch");
    }

    // Connections the process holds; -1 when the server cannot be asked.
    int Attachments(pid_t pid)
    {
        if (!db.isOpen() && !db.open())
            return -1;
        db.transaction(); // the monitoring tables are a snapshot per transaction
        QSqlQuery q(db);
        q.prepare("SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$REMOTE_PID = :pid");
        q.bindValue(":pid", static_cast<int>(pid));
        const int count = q.exec() && q.next() ? q.value(0).toInt() : -1;
        q.finish();
        db.commit();
        return count;
    }

    FbServerEnv server;
    QByteArray settings;

private:
    QSqlDatabase db;
};

TEST_F(SelvaneTest, PauseClosesTheDatabaseAndResumeOpensItAgain)
{
    DatabaseWatch watch;
    WriteSettings(watch.settings);
    StartFromConsole();
    const pid_t pid = Status().processId;
    ASSERT_TRUE(WaitForLog("Connected to database ")) << qPrintable(Log());
    EXPECT_EQ(watch.Attachments(pid), 1);

    EXPECT_EQ(Run({"-pause"}).code, 0);
    EXPECT_EQ(Status().state, platform::ServiceState::Paused);
    EXPECT_EQ(watch.Attachments(pid), 0) << "paused: the connection is closed";
    EXPECT_EQ(Run({"-resume"}).code, 0);
    EXPECT_EQ(Status().state, platform::ServiceState::Running);
    EXPECT_TRUE(WaitForLog("Connected to database ", 2)) << qPrintable(Log());
    EXPECT_EQ(watch.Attachments(pid), 1);
    EXPECT_EQ(Run({"-t"}).code, 0);
}

// The Firebird client takes SIGTERM for itself once the service is attached: the daemon must still end
// on it, in order, as on a stop from the manager.
TEST_F(SelvaneTest, SigtermEndsTheAttachedDaemonAsAStopDoes)
{
    DatabaseWatch watch;
    WriteSettings(watch.settings);
    StartFromConsole();
    const pid_t pid = Status().processId;
    ASSERT_TRUE(WaitForLog("Connected to database ")) << qPrintable(Log());
    ASSERT_EQ(watch.Attachments(pid), 1);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(Ended(pid));
    EXPECT_EQ(Status().state, platform::ServiceState::Stopped);
    EXPECT_TRUE(Log().endsWith(QLatin1String("]: Service stopped\n"))) << qPrintable(Log());
    EXPECT_EQ(watch.Attachments(pid), 0);
    EXPECT_EQ(Run({"-v"}).out, Version(true, false));
}

TEST_F(SelvaneTest, SecondInstanceUnderTheManagersMarkerFailsToStart)
{
    WriteSettings();
    StartFromConsole();
    // As if the manager had launched it while the service runs: its dispatcher cannot take the socket.
    const Result r = Run({}, kRunTimeoutMs, {{"SELVANE_SERVICE_MANAGER", QString::fromStdString(kName)}});
    EXPECT_EQ(r.code, -4);
    EXPECT_EQ(r.err, "The service Callback Server could not start\n");
    EXPECT_EQ(Status().state, platform::ServiceState::Running) << "the running one is untouched";
    EXPECT_EQ(Run({"-t"}).code, 0);
}

TEST_F(SelvaneTest, KilledServiceLeavesNoRunningStateBehind)
{
    WriteSettings();
    StartFromConsole();
    const pid_t pid = Status().processId;
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    testsupport::WaitFor([this] { return Status().state == platform::ServiceState::Stopped; },
                         std::chrono::seconds(5));
    EXPECT_EQ(Run({"-v"}).out, Version(true, false));
    EXPECT_EQ(Run({}).code, 0) << "the next start works";
    EXPECT_TRUE(WaitForLog("Service started", 2));
    EXPECT_TRUE(WaitForRunning());
    EXPECT_EQ(Run({"-t"}).code, 0);
    EXPECT_EQ(Status().state, platform::ServiceState::Stopped);
}

TEST_F(SelvaneTest, ConcurrentStopsAndControlsOfAStoppedServiceDoNotHang)
{
    WriteSettings();
    ASSERT_EQ(Run({"-i"}).code, 0);
    for (const char* option : {"-p", "-r", "-c"})
        EXPECT_EQ(Run({option}, 5000).code, 0) << option;
    Result r = Run({"-t"}, 5000);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.contains("The service could not be stopped.")) << r.err.constData();

    ASSERT_EQ(Run({}).code, 0);
    ASSERT_TRUE(WaitForLog("Service started"));
    ASSERT_TRUE(WaitForRunning());
    auto first = std::async(std::launch::async, [this] { return Run({"-t"}, 5000); });
    auto second = std::async(std::launch::async, [this] { return Run({"-terminate"}, 5000); });
    EXPECT_EQ(first.get().code, 0);
    EXPECT_EQ(second.get().code, 0);
    EXPECT_EQ(Status().state, platform::ServiceState::Stopped);
    EXPECT_EQ(Count("Service control 1\n"), 1);
}

// An exchange's control server that never answers the login and, once told, pours notifications of a
// kind the service ignores (logging each) onto every connection until that connection closes.
class ChattyControlServer
{
public:
    ChattyControlServer() : listener(8) { thread = std::thread([this] { run(); }); }
    ~ChattyControlServer()
    {
        stopping = true;
        thread.join();
        for (int fd : clients)
            close(fd);
    }
    void Chatter() { chatter = true; }

    testsupport::TcpListener listener;
    const int port = listener.Port();

private:
    void run()
    {
        const std::string line = "{\"jsonrpc\":\"2.0\",\"method\":\"heartbeat\",\"params\":{}}\n";
        std::string burst;
        for (int i = 0; i < 100; ++i)
            burst += line;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!stopping && std::chrono::steady_clock::now() < limit) {
            const int client = listener.Accept(std::chrono::milliseconds(chatter ? 0 : 20));
            if (client >= 0)
                clients.push_back(client);
            if (!chatter)
                continue;
            for (auto it = clients.begin(); it != clients.end();) {
                if (send(*it, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN) {
                    close(*it);
                    it = clients.erase(it);
                } else {
                    ++it;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::atomic<bool> stopping{false};
    std::atomic<bool> chatter{false};
    std::vector<int> clients; // the server's thread only
    std::thread thread;
};

// Stopped in the middle of the exchange's events: the component's thread, which logs each of them, has
// ended before the program's last line, not after main, when the log is gone.
TEST_F(SelvaneTest, ExecRunsInTheForegroundUntilASignalEndsIt)
{
    ChattyControlServer exchange;
    ASSERT_GT(exchange.port, 0);
    WriteSettings("[Database]\nDriverName=QIBASE\nHostName=127.0.0.1\nDatabasePort=1\nUserName=SYSDBA\n"
                  "Password=none\n[Norvel]\nServer=127.0.0.1:" +
                  QByteArray::number(exchange.port) + "\nUsername=selvane\nPassword=selvane\n[Other]\nLoggingLevel=7\n");
    ASSERT_EQ(Run({"-i"}).code, 0);
    testsupport::ChildProcess p;
    p.SetWorkingDirectory(dir.filePath("work").toStdString());
    ASSERT_TRUE(p.Run({program.toStdString(), "-e"}));
    ASSERT_TRUE(WaitForLog("Service started")) << qPrintable(Log());
    EXPECT_TRUE(p.Running());
    EXPECT_EQ(Run({"-v"}).out, Version(true, false)) << "no manager runs it";
    exchange.Chatter();
    ASSERT_TRUE(WaitForLog("NorCom: ignored a notification heartbeat"));
    EXPECT_EQ(p.Stop(std::chrono::seconds(10)), 0) << "SIGTERM ends it normally";
    const QStringList lines = Log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().endsWith(QLatin1String("]: Service stopped"))) << qPrintable(lines.last());
    EXPECT_EQ(Count("]: Service stopped\n"), 1);
}

} // namespace
