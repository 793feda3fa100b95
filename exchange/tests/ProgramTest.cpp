// The pbx-exchange program itself: its options, its configuration file, a stop on SIGTERM, and its
// control server under a flood while the service's own PBX component works through it.
#include "exchange/tests/ExchangeHarness.h"

#include "platform/pbxcontrol/NorComComponent.h"
#include "tests/support/ControlFlood.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace exchange::test {
namespace {

TEST(ExchangeProgramTest, HelpConfigurationCheckServingAndStopOnSigterm)
{
    testsupport::ChildProcess help;
    ASSERT_TRUE(help.Run({SELVANE_PBX_EXCHANGE, "--help"}));
    EXPECT_EQ(help.Wait(std::chrono::seconds(10)), 0);
    for (const char* option : {"--config", "--sip", "--control", "--log-level", "--log ", "--check", "--help"})
        EXPECT_NE(help.Output().find(option), std::string::npos) << option;

    testsupport::ChildProcess check;
    ASSERT_TRUE(check.Run({SELVANE_PBX_EXCHANGE, "--config", SELVANE_EXCHANGE_EXAMPLE, "--check"}));
    EXPECT_EQ(check.Wait(std::chrono::seconds(10)), 0) << check.Output();

    testsupport::ChildProcess bad;
    ASSERT_TRUE(bad.MakeFolder());
    {
        std::ofstream file(bad.Folder() + "/bad.ini");
        file << "[extensions]\n300 = desk secret 1\n";
    }
    ASSERT_TRUE(bad.Run({SELVANE_PBX_EXCHANGE, "--config", bad.Folder() + "/bad.ini"}));
    EXPECT_EQ(bad.Wait(std::chrono::seconds(10)), 1);
    EXPECT_NE(bad.Output().find("line 2"), std::string::npos) << bad.Output();

    // Serving on free ports until SIGTERM, then a clean exit.
    testsupport::ChildProcess pbx;
    ASSERT_TRUE(pbx.Run({SELVANE_PBX_EXCHANGE, "--sip", "127.0.0.1:0", "--control", "127.0.0.1:0"}));
    ASSERT_TRUE(pbx.WaitForOutput(" pid ")) << pbx.Output();
    std::string out = pbx.Output();
    size_t ready = out.find(" control ", out.find("pbx-exchange sip "));
    ASSERT_NE(ready, std::string::npos) << out;
    int port = std::atoi(out.c_str() + ready + 9);
    pid_t pid = std::atoi(out.c_str() + out.find(" pid ", ready) + 5);
    ASSERT_GT(pid, 0) << out;
    ControlClient client;
    ASSERT_TRUE(client.Connect(port));
    EXPECT_TRUE(client.Login());
    EXPECT_EQ(client.OpenLine("202"), 2);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(pbx.Wait(std::chrono::seconds(20)), 0) << pbx.Output();
    EXPECT_NE(pbx.Output().find("stopping on signal"), std::string::npos) << pbx.Output();
}

// The resident memory of a process, in KiB; 0 when it cannot be read.
long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// Waits while the component's signals are delivered to this thread.
bool WaitServed(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return WaitFor(
        [&] {
            QCoreApplication::processEvents();
            return done();
        },
        timeout);
}

TEST(ExchangeProgramTest, ControlFloodLeavesTheServicesComponentServed)
{
    testsupport::ChildProcess pbx;
    ASSERT_TRUE(pbx.MakeFolder());
    const std::string logPath = pbx.Folder() + "/exchange.log";
    {
        std::ofstream file(pbx.Folder() + "/limits.ini");
        file << "[exchange]\ncontrol_max_clients = 12\ncontrol_max_unauthenticated = 4\ncontrol_login_timeout = 3\n"
                "control_output_limit = 256\ncontrol_login_failures = 3\ncontrol_login_lockout = 5\n";
    }
    ASSERT_TRUE(pbx.Run({SELVANE_PBX_EXCHANGE, "--config", pbx.Folder() + "/limits.ini", "--sip", "127.0.0.1:0",
                         "--control", "127.0.0.1:0", "--log-level", "6", "--log", logPath}));
    ASSERT_TRUE(pbx.WaitForOutput(" pid ")) << pbx.Output();
    std::string out = pbx.Output();
    size_t ready = out.find("pbx-exchange sip ");
    ASSERT_NE(ready, std::string::npos) << out;
    std::string sip = out.substr(ready + 17, out.find(' ', ready + 17) - ready - 17);
    int port = std::atoi(out.c_str() + out.find(" control ", ready) + 9);
    pid_t pid = std::atoi(out.c_str() + out.find(" pid ", ready) + 5);
    ASSERT_GT(pid, 0) << out;

    // The service's component, logged in with its line open, throughout.
    NorComComponent component;
    std::vector<int> states;
    QObject::connect(&component, &NorComComponent::CallStateChangedInt,
                     [&](int, int, int state) { states.push_back(state); });
    const QString server = QStringLiteral("127.0.0.1:%1").arg(port);
    ASSERT_TRUE(component.Connect(server, "selvane", "selvane"));
    ASSERT_TRUE(component.SetClientType("callback"));
    int line = component.OpenLine("201");
    ASSERT_GT(line, 0);
    auto served = [&] { return component.isLoggedIn() && component.ToDialable("1 2") == "12"; };
    EXPECT_TRUE(served());

    // A client that sends MiBs of requests and never reads an answer: dropped (the kernel's buffers
    // on the loopback take some MiB before the exchange keeps any), and the exchange keeps nothing.
    long before = ResidentKiB(pid);
    testsupport::GreedyResult greedy = testsupport::FloodWithoutReading(port, "selvane", "selvane", 32u << 20);
    EXPECT_TRUE(greedy.loggedIn);
    EXPECT_TRUE(greedy.dropped);
    EXPECT_LT(greedy.sent, 32u << 20) << "never dropped";
    EXPECT_TRUE(served());
    long after = ResidentKiB(pid);
    EXPECT_LT(after - before, 64 * 1024) << before << " KiB before, " << after << " KiB after";

    // More connections than allowed, all silent: the extra ones are closed at once, the rest when
    // their time to log in is over; a newcomer still gets in meanwhile.
    std::thread crowd([&] { EXPECT_EQ(testsupport::SilentCrowd(port, 20, std::chrono::seconds(8)), 20); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    {
        ControlClient newcomer;
        ASSERT_TRUE(newcomer.Connect(port));
        EXPECT_TRUE(newcomer.Login());
    }
    EXPECT_TRUE(served());
    crowd.join();

    // Wrong passwords, many in one go: slow answers, then the address is refused for a while.
    testsupport::GuessResult guesses = testsupport::GuessPasswords(port, "selvane", 50);
    EXPECT_LE(guesses.answers, 4);
    EXPECT_GE(guesses.answers, 3);
    EXPECT_TRUE(guesses.dropped);
    EXPECT_TRUE(testsupport::ClosedUnasked(port, std::chrono::seconds(2)));
    EXPECT_TRUE(served());
    EXPECT_EQ(component.GetCOS(line), 3);

    // And its line's notifications still come: the line calls a phone.
    Phone desk(sip, "102", "102");
    Phone service(sip, "201", "201");
    ASSERT_TRUE(desk.Registered());
    ASSERT_TRUE(service.Registered());
    states.clear();
    std::string token = service.Dial("102");
    EXPECT_TRUE(WaitServed([&] { return std::count(states.begin(), states.end(), kConnected) > 0; }))
        << states.size();
    service.Manager().ClearCall(token);
    EXPECT_TRUE(WaitServed([&] { return !states.empty() && states.back() == kIdle; }));

    // What the flood wrote to the log stays small.
    std::ifstream log(logPath);
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (::testing::Test::HasFailure())
        std::cerr << "the exchange's log ends:\n" << text.substr(text.size() > 6000 ? text.size() - 6000 : 0);
    EXPECT_LT(text.size(), 256u * 1024) << "log of " << text.size() << " bytes";
    std::istringstream lines(text);
    size_t longest = 0, refusals = 0;
    for (std::string l; std::getline(lines, l);) {
        longest = std::max(longest, l.size());
        refusals += l.find("refused") != std::string::npos || l.find("dropped") != std::string::npos;
    }
    EXPECT_LT(longest, 1024u);
    EXPECT_LE(refusals, 40u);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(pbx.Wait(std::chrono::seconds(20)), 0) << pbx.Output();
}

} // namespace
} // namespace exchange::test
