#include "platform/ServiceManager.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <pwd.h>
#include <sys/wait.h>

namespace {

using platform::ServiceState;
using namespace std::chrono_literals;

class ServiceManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        setenv("SELVANE_SERVICE_REGISTRY", qPrintable(dir.filePath("registry/services.ini")), 1);
        setenv("SELVANE_RUNTIME_DIR", qPrintable(dir.filePath("run")), 1);
        setenv("SELVANE_SYSTEMD_UNIT_DIR", qPrintable(dir.filePath("units")), 1);
        setenv("PROBE_LOG", qPrintable(dir.filePath("probe.log")), 1);
        QDir(dir.path()).mkpath("units");
    }

    void TearDown() override
    {
        platform::ServiceStatus status;
        if (platform::QueryServiceStatus(name, &status) && status.processId > 0)
            kill(status.processId, SIGKILL);
    }

    bool InstallProbe(const std::string& program = PROBE_SERVICE)
    {
        platform::ServiceConfig config;
        config.name = name;
        config.displayName = name;
        config.programPath = program;
        return platform::CreateService(config, "");
    }

    QString ProbeLog()
    {
        QFile f(dir.filePath("probe.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // The state the service reports, once it is the one wanted or 5 s have passed.
    ServiceState WaitForState(ServiceState wanted)
    {
        platform::ServiceStatus status;
        testsupport::WaitFor([&] { return platform::QueryServiceStatus(name, &status) && status.state == wanted; },
                             5s);
        return status.state;
    }

    QTemporaryDir dir;
    std::string name = "Probe Service";
};

TEST_F(ServiceManagerTest, RegistryRecordsOneEntryPerNameWithItsUnit)
{
    platform::ServiceConfig config;
    config.name = name;
    config.displayName = name;
    config.programPath = "/opt/my tools/50%/probe";
    config.description = "first";
    config.account = ".\\alice";
    EXPECT_FALSE(platform::IsServiceInstalled(name));
    ASSERT_TRUE(platform::CreateService(config, "secret"));
    EXPECT_FALSE(platform::CreateService(config, ""));
    EXPECT_EQ(errno, EEXIST);
    ASSERT_TRUE(platform::SetServiceDescription(name, "Probe of the manager"));

    const auto read = platform::QueryServiceConfig(name);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->programPath, config.programPath);
    EXPECT_EQ(read->account, ".\\alice");
    EXPECT_TRUE(read->hasPassword);
    EXPECT_EQ(read->description, "Probe of the manager");
    EXPECT_EQ(read->startType, platform::StartType::Demand);
    QFile registry(dir.filePath("registry/services.ini"));
    ASSERT_TRUE(registry.open(QIODevice::ReadOnly));
    EXPECT_FALSE(registry.readAll().contains("secret")) << "the registry is readable by everyone";

    EXPECT_EQ(platform::SystemdUnitName(name), "probe-service.service");
    QFile unit(dir.filePath("units/probe-service.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    EXPECT_TRUE(text.contains("ExecStart=\"/opt/my tools/50%%/probe\" -e\n")) << text.constData();
    EXPECT_TRUE(text.contains("Description=Probe of the manager\n"));
    EXPECT_TRUE(text.contains("User=alice\n"));
    unit.close();

    ASSERT_TRUE(platform::DeleteService(name));
    EXPECT_FALSE(platform::IsServiceInstalled(name));
    EXPECT_FALSE(unit.exists());
    EXPECT_FALSE(platform::DeleteService(name));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ServiceManagerTest, DispatcherWithoutTheManagersMarkerIsAConsoleStart)
{
    unsetenv("SELVANE_SERVICE_MANAGER");
    bool called = false;
    EXPECT_EQ(
        platform::StartServiceCtrlDispatcher(name, [&](const std::vector<std::string>&) { called = true; }),
        platform::DispatchResult::NotStartedByManager);
    EXPECT_FALSE(called);
}

TEST_F(ServiceManagerTest, StoppedOrMissingServicesAnswerAtOnce)
{
    platform::ServiceStatus status;
    EXPECT_FALSE(platform::QueryServiceStatus(name, &status));
    EXPECT_FALSE(platform::StartService(name, {}));
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    EXPECT_EQ(status.state, ServiceState::Stopped);
    EXPECT_FALSE(platform::ControlService(name, platform::ControlPause));
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ServiceManagerTest, ProgramThatEndsWithoutConnectingFailsTheStart)
{
    ASSERT_TRUE(InstallProbe("/bin/true"));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::StartService(name, {}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

    platform::DeleteService(name);
    ASSERT_TRUE(InstallProbe(dir.filePath("no-such-program").toStdString()));
    EXPECT_FALSE(platform::StartService(name, {}));
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ServiceManagerTest, LaunchedServiceIsADaemonThatTakesControls)
{
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::StartService(name, {name, "extra"}));
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    platform::ServiceStatus status;
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    ASSERT_GT(status.processId, 0);
    // A session of its own, which it does not lead: it can never gain a controlling terminal.
    EXPECT_NE(getsid(status.processId), getsid(0));
    EXPECT_NE(getsid(status.processId), status.processId);
    EXPECT_FALSE(platform::StartService(name, {name}));
    EXPECT_EQ(errno, EALREADY);

    EXPECT_FALSE(platform::ControlService(name, platform::ControlPause)) << "pause is not accepted";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(platform::ControlService(name, 100));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(platform::ControlService(name, 130));
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop));
    EXPECT_EQ(WaitForState(ServiceState::Stopped), ServiceState::Stopped);
    const QString log = ProbeLog();
    EXPECT_TRUE(log.contains("main Probe Service Probe Service extra\n")) << qPrintable(log);
    EXPECT_TRUE(log.contains("control 130\ncontrol 1\n")) << qPrintable(log);
    EXPECT_FALSE(log.contains("control 2\n"));
}

TEST_F(ServiceManagerTest, KilledServiceLeavesNoRunningStateAndStartsAgain)
{
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::StartService(name, {name}));
    platform::ServiceStatus status;
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    ASSERT_GT(status.processId, 0);
    ASSERT_EQ(kill(status.processId, SIGKILL), 0);
    EXPECT_EQ(WaitForState(ServiceState::Stopped), ServiceState::Stopped);
    EXPECT_FALSE(platform::ControlService(name, platform::ControlStop));

    ASSERT_TRUE(platform::StartService(name, {name})) << "the socket of the killed instance is taken over";
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop));
    EXPECT_EQ(WaitForState(ServiceState::Stopped), ServiceState::Stopped);
}

TEST_F(ServiceManagerTest, RunningServiceIsOnlyMarkedForDeletionUntilItStops)
{
    auto gone = [this] { return testsupport::WaitFor([this] { return !platform::IsServiceInstalled(name); }, 5s); };
    QFile unit(dir.filePath("units/probe-service.service"));
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::StartService(name, {name}));
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);

    ASSERT_TRUE(platform::DeleteService(name));
    EXPECT_TRUE(platform::IsServiceInstalled(name)) << "still there while it runs";
    EXPECT_TRUE(unit.exists());
    EXPECT_FALSE(platform::DeleteService(name));
    EXPECT_EQ(errno, EALREADY);
    EXPECT_FALSE(InstallProbe()) << "the name is still taken";
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(platform::StartService(name, {name}));
    EXPECT_EQ(errno, EALREADY);
    platform::ServiceStatus status;
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    EXPECT_EQ(status.state, ServiceState::Running);
    EXPECT_GT(status.processId, 0);
    const pid_t first = status.processId;
    EXPECT_TRUE(platform::ControlService(name, 130)) << "controls still reach it";
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop));
    EXPECT_TRUE(gone()) << "deleted once stopped";
    EXPECT_FALSE(unit.exists());
    EXPECT_FALSE(platform::QueryServiceStatus(name, &status));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(ProbeLog().contains("control 130\ncontrol 1\n")) << qPrintable(ProbeLog());

    // Installed again under the same name: a fresh entry, not marked. A killed service leaves its mark
    // behind with nobody to finish the deletion: the next look does. The stopped daemon may still be
    // exiting, its socket's lock held, on a busy machine: the start waits for it to be gone.
    auto ended = [first] {
        std::ifstream stat("/proc/" + std::to_string(first) + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            return true;
        const size_t close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
    };
    EXPECT_TRUE(testsupport::WaitFor(ended, 10s)) << "the stopped daemon did not end";
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::StartService(name, {name}));
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    ASSERT_GT(status.processId, 0);
    ASSERT_TRUE(platform::DeleteService(name));
    ASSERT_EQ(kill(status.processId, SIGKILL), 0);
    EXPECT_TRUE(gone());
    EXPECT_FALSE(unit.exists());
    EXPECT_TRUE(InstallProbe());
}

TEST_F(ServiceManagerTest, SecondInstanceCannotTakeTheSocketOfARunningOne)
{
    ASSERT_TRUE(InstallProbe());
    ASSERT_TRUE(platform::StartService(name, {name}));
    // Launched behind the manager's back with its marker: the lock keeps it off the running one's socket.
    const pid_t child = fork();
    if (child == 0) {
        setenv("SELVANE_SERVICE_MANAGER", name.c_str(), 1);
        execl(PROBE_SERVICE, PROBE_SERVICE, name.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    auto waited = std::async(std::launch::async, [&] { return waitpid(child, &status, 0); });
    ASSERT_EQ(waited.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop));
}

TEST_F(ServiceManagerTest, ServiceRunsUnderTheAccountItWasInstalledWith)
{
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "switching accounts needs root and the user nobody";
    // A copy of the probe in a folder the account can enter: the checkout itself may lie in a private one.
    for (QDir up(QDir::tempPath()); !up.isRoot(); up.cdUp())
        if (!(QFileInfo(up.path()).permissions() & QFileDevice::ExeOther))
            GTEST_SKIP() << "the temporary folder " << qPrintable(QDir::tempPath())
                         << " is closed to other accounts";
    QTemporaryDir reachable(QDir::tempPath() + "/selvprobe-XXXXXX");
    ASSERT_TRUE(reachable.isValid());
    const QString program = reachable.filePath("probe");
    ASSERT_TRUE(QFile::copy(PROBE_SERVICE, program));
    const auto readAndRun = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                            QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    ASSERT_TRUE(QFile::setPermissions(reachable.path(), readAndRun | QFileDevice::WriteOwner));
    ASSERT_TRUE(QFile::setPermissions(program, readAndRun));
    platform::ServiceConfig config;
    config.name = name;
    config.programPath = program.toStdString();
    config.account = ".\\nobody";
    ASSERT_TRUE(platform::CreateService(config, ""));
    // The account can write neither the runtime folder nor this test's folder: the launcher hands it
    // the socket it needs.
    ASSERT_TRUE(platform::StartService(name, {name})) << strerror(errno);
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    platform::ServiceStatus status;
    ASSERT_TRUE(platform::QueryServiceStatus(name, &status));
    QFile proc(QStringLiteral("/proc/%1/status").arg(status.processId));
    ASSERT_TRUE(proc.open(QIODevice::ReadOnly));
    const QByteArray uid = "\nUid:\t" + QByteArray::number(nobody->pw_uid) + "\t";
    EXPECT_TRUE(proc.readAll().contains(uid));
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop)) << "root controls it";
    EXPECT_EQ(WaitForState(ServiceState::Stopped), ServiceState::Stopped);
    // "Stopped" is reported before the process has let go of its lock: wait for it to end.
    testsupport::WaitFor([&] { return kill(status.processId, 0) != 0; }, 5s, 50ms);
    ASSERT_TRUE(platform::StartService(name, {name})) << "its socket is taken over once more";
    EXPECT_EQ(WaitForState(ServiceState::Running), ServiceState::Running);
    EXPECT_TRUE(platform::ControlService(name, platform::ControlStop));
}

} // namespace
