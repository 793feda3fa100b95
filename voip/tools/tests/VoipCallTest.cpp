// voipcall as a peer sees it: answering with a VoiceXML document that transfers the caller, it prints
// the transfer asked, the caller's answer, how the transferred call went, and the release.
#include "tests/support/PromptDocuments.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace voip {
namespace {

using namespace std::chrono_literals;
using testsupport::FreeUdpPort;

const std::string kOgmDir = SELVANE_OGM_DIR;

std::string LineStarting(const std::string& output, const std::string& prefix)
{
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    return {};
}

TEST(VoipCallTool, VxmlModePrintsTheTransferItsOutcomeAndTheRelease)
{
    testsupport::ChildProcess voipcall;
    ASSERT_TRUE(voipcall.MakeFolder());
    const std::string document = voipcall.Folder() + "/transfer.vxml";
    std::ofstream(document) << test::WaitTransferDocument(kOgmDir.substr(0, kOgmDir.size() - 4));
    const int port = FreeUdpPort();
    ASSERT_TRUE(voipcall.Run({VOIPCALL_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(port), "--vxml", document,
                              "--var", "transfer.transfer_num=0123"}));
    ASSERT_TRUE(voipcall.WaitForOutput("listening ")) << voipcall.Log();

    SippProcess caller;
    ASSERT_TRUE(caller.Start({"127.0.0.1:" + std::to_string(port), "-sf", Scenario("sip_uac_transferred"), "-s",
                              "ivr", "-m", "1", "-timeout", "40s", "-timeout_error"}));
    EXPECT_EQ(caller.Wait(), 0) << caller.Log() << voipcall.Log();
    ASSERT_TRUE(voipcall.WaitForOutput("ivr released ")) << voipcall.Log();

    const std::string out = voipcall.Output();
    std::string asked = LineStarting(out, "transfer ");
    ASSERT_FALSE(asked.empty()) << out;
    // "transfer sip/N sip:0123": the SIP leg, then the same leg's answer and progress.
    std::string leg = asked.substr(9, asked.find(' ', 9) - 9);
    EXPECT_EQ(asked, "transfer " + leg + " sip:0123") << out;
    EXPECT_EQ(LineStarting(out, "transfer " + leg + " answered"), "transfer " + leg + " answered 202 Accepted") << out;
    EXPECT_EQ(LineStarting(out, "transfer " + leg + " progress"), "transfer " + leg + " progress 200 OK") << out;
    EXPECT_NE(LineStarting(out, "ivr released ").find("remote user"), std::string::npos) << out;
    // In the order they happened.
    EXPECT_LT(out.find("ivr established"), out.find(asked));
    EXPECT_LT(out.find(" answered 202"), out.find(" progress 200"));
    EXPECT_LT(out.find(" progress 200"), out.find("ivr released"));
}

} // namespace
} // namespace voip
