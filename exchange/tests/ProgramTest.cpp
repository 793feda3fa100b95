// The pbx-exchange program itself: its options, its configuration file, a stop on SIGTERM.
#include "exchange/tests/ExchangeHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

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

} // namespace
} // namespace exchange::test
