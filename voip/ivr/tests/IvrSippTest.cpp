// The prompt documents through a real SIP call: SIPp calls in, the test's own socket takes the RTP
// the IVR sends, SIPp plays RFC 2833 key pcaps.
#include "voip/core/Call.h"
#include "voip/ivr/Prompts.h"
#include "voip/ivr/IvrEndpoint.h"
#include "voip/core/Manager.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "tests/support/EventLog.h"
#include "tests/support/PromptDocuments.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

namespace voip {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kOgmDir = SELVANE_OGM_DIR;
const std::string kDir = kOgmDir.substr(0, kOgmDir.size() - 4);

// Takes the RTP the IVR sends: when each packet came and whether it carried sound.
class RtpSink
{
public:
    RtpSink() : fd_(testsupport::BoundUdpSocket(0, SOCK_CLOEXEC)), thread_([this] { Run(); }) {}
    ~RtpSink()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int Port() const { return testsupport::PortOf(fd_); }

    struct Packet
    {
        Clock::time_point at;
        bool sound;
    };
    std::vector<Packet> Packets()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_;
    }
    // Milliseconds from the first packet with sound to the end of the last one.
    int SoundMs()
    {
        auto packets = Packets();
        auto first = std::find_if(packets.begin(), packets.end(), [](const Packet& p) { return p.sound; });
        auto last = std::find_if(packets.rbegin(), packets.rend(), [](const Packet& p) { return p.sound; });
        if (first == packets.end())
            return 0;
        return static_cast<int>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(last->at - first->at).count()) +
               20;
    }

private:
    void Run()
    {
        unsigned char buf[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 12)
                continue;
            size_t header = 12 + 4 * (buf[0] & 0x0F);
            int payloadType = buf[1] & 0x7F;
            if (payloadType != 0 && payloadType != 8)
                continue;
            // G.711 silence sits at the top of the code range (0xFF/0x7F μ-law, 0xD5/0x55 A-law).
            bool sound = false;
            for (size_t i = header; i < static_cast<size_t>(n); ++i) {
                int level = payloadType == 0 ? 0x7F - (buf[i] & 0x7F) : ((buf[i] ^ 0x55) & 0x7F);
                if (level > 8)
                    sound = true;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            packets_.push_back({Clock::now(), sound});
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Packet> packets_;
    std::thread thread_;
};

// What the IVR reports, and when its dialogue ended.
class Record : public EventLog
{
public:
    void Add(const std::string& event)
    {
        if (event.rfind("end ", 0) == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = Clock::now();
        }
        EventLog::Add(event);
    }
    std::string Find(const std::string& prefix) const
    {
        for (const auto& e : All())
            if (e.rfind(prefix, 0) == 0)
                return e;
        return {};
    }
    Clock::time_point Ended() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ended_;
    }

private:
    mutable std::mutex mutex_;
    Clock::time_point ended_;
};

// Starts the test's document when the call is up, as the service starts its announcements.
class ScriptedIvr : public IvrConnection
{
public:
    ScriptedIvr(Call& call, IvrEndpoint& endpoint, const std::string& token, const std::string& address,
                const std::string& document, const StringOptions& vars, Record& record)
        : IvrConnection(call, endpoint, token, address, 0, {}), document_(document), vars_(vars),
          record_(record)
    {
    }
    void OnEstablished() override
    {
        record_.Add("established");
        for (const auto& [name, value] : vars_)
            SetVar(name, value);
        StartVXML(document_);
    }
    void OnEndDialog() override
    {
        record_.Add("end " + std::string(VxmlEndName(GetDialogEndReason())) +
                    " state=" + GetVar("dialog.state") + " pin=" + GetVar("dialog.pin_code") +
                    " to=" + GetVar("dialog.transfer_to"));
        IvrConnection::OnEndDialog();
    }

private:
    std::string document_;
    StringOptions vars_;
    Record& record_;
};

class ScriptedIvrEndpoint : public IvrEndpoint
{
public:
    ScriptedIvrEndpoint(Manager& manager, Record& record) : IvrEndpoint(manager), record_(record) {}
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned,
                                                 const StringOptions&) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::make_shared<ScriptedIvr>(call, *this, token, address, document_, vars_, record_);
    }
    // What the next calls run; set from the test's thread, read on the SIP stack's.
    void Script(const std::string& document, const StringOptions& vars = {})
    {
        std::lock_guard<std::mutex> lock(mutex_);
        document_ = document;
        vars_ = vars;
    }

private:
    std::mutex mutex_;
    std::string document_;
    StringOptions vars_;
    Record& record_;
};

// The SIP leg records the transfer it is asked for instead of sending REFER.
class TransferringSip : public SipConnection
{
public:
    TransferringSip(SipEndpoint& endpoint, Call& call, const std::string& token, const std::string& address,
                    unsigned options, const StringOptions& stringOptions, Record& record)
        : SipConnection(endpoint, call, token, address, options, stringOptions), record_(record)
    {
    }
    bool TransferConnection(const std::string& destination) override
    {
        record_.Add("transfer " + destination);
        return true;
    }

private:
    Record& record_;
};

class TransferringSipEndpoint : public SipEndpoint
{
public:
    TransferringSipEndpoint(Manager& manager, Record& record) : SipEndpoint(manager), record_(record) {}
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override
    {
        return std::make_shared<TransferringSip>(*this, call, token, address, options, stringOptions,
                                                 record_);
    }

private:
    Record& record_;
};

// Copies a capture of RFC 2833 packets (classic pcap, Ethernet, IPv4, UDP) without those that
// carry the end bit.
bool WithoutEndPackets(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 24 || data.compare(0, 4, "\xd4\xc3\xb2\xa1") != 0)
        return false;
    std::string out = data.substr(0, 24);
    size_t dropped = 0;
    for (size_t at = 24; at + 16 <= data.size();) {
        auto u32 = [&](size_t i) {
            return static_cast<uint32_t>(static_cast<uint8_t>(data[i])) |
                   static_cast<uint32_t>(static_cast<uint8_t>(data[i + 1])) << 8 |
                   static_cast<uint32_t>(static_cast<uint8_t>(data[i + 2])) << 16 |
                   static_cast<uint32_t>(static_cast<uint8_t>(data[i + 3])) << 24;
        };
        size_t length = u32(at + 8);
        if (at + 16 + length > data.size())
            return false;
        // Ethernet 14, IPv4 with its own header length, UDP 8, RTP 12, then the event's E bit.
        size_t ip = at + 16 + 14;
        size_t event = ip + (static_cast<uint8_t>(data[ip]) & 0x0F) * 4 + 8 + 12;
        bool end = event + 1 < at + 16 + length && (static_cast<uint8_t>(data[event + 1]) & 0x80);
        if (end)
            ++dropped;
        else
            out += data.substr(at, 16 + length);
        at += 16 + length;
    }
    std::ofstream(to, std::ios::binary) << out;
    return dropped > 0;
}

// One SIPp caller run: the scenario with its keys, bounded in time.
class Sipp : public SippProcess
{
public:
    // withoutEnd: the keys' recordings with their end packets left out, as a phone that never
    // sends them.
    Sipp(int servicePort, int rtpPort, const std::string& keys, int byeTimeoutMs, bool withoutEnd = false)
    {
        if (!MakeFolder()) {
            ADD_FAILURE() << "no folder for SIPp";
            return;
        }
        std::string actions;
        if (!keys.empty()) {
            actions += "<pause milliseconds=\"2000\"/>\n";
            // No pause after the last key: the IVR may hang up at once.
            for (size_t i = 0; i < keys.size(); ++i) {
                char key = keys[i];
                std::string name = key == '#' ? "pound" : key == '*' ? "star" : std::string(1, key);
                std::string pcap = "/usr/share/sip-tester/dtmf_2833_" + name + ".pcap";
                if (withoutEnd) {
                    std::string cut = Folder() + "/noend_" + name + ".pcap";
                    if (!WithoutEndPackets(pcap, cut))
                        ADD_FAILURE() << "cannot rewrite " << pcap;
                    pcap = cut;
                }
                if (i)
                    actions += "  <pause milliseconds=\"400\"/>\n";
                actions += "  <nop><action><exec play_pcap_audio=\"" + pcap + "\"/></action></nop>\n";
            }
        }
        const std::string timeout = std::to_string(byeTimeoutMs);
        const std::string scenario =
            Scenario("ivr_caller", {{"<!--KEYS-->", actions}, {"[bye_timeout]", timeout}}, Folder());
        if (!Start({"127.0.0.1:" + std::to_string(servicePort), "-sf", scenario, "-m", "1", "-key", "service",
                    "ivr", "-key", "caller", "1001", "-key", "rtp_port", std::to_string(rtpPort), "-timeout",
                    "60s", "-timeout_error"}))
            ADD_FAILURE() << "SIPp did not start";
    }
};

class IvrSipCall : public ::testing::Test
{
protected:
    IvrSipCall()
    {
        sip = &manager.AddEndpoint(std::make_unique<TransferringSipEndpoint>(manager, record));
        ivr = &manager.AddEndpoint(std::make_unique<ScriptedIvrEndpoint>(manager, record));
        manager.AddRouteEntry(".* = ivr:");
        for (int attempt = 0; attempt < 5 && !sip->IsListening(); ++attempt)
            sip->StartListeners({"127.0.0.1:" + std::to_string(testsupport::FreeUdpPort())});
    }
    ~IvrSipCall() override { manager.ShutDownEndpoints(); }

    // Runs the document for a SIPp caller keying keys; SIPp waits byeTimeoutMs for the BYE.
    int Run(const std::string& document, const std::string& keys = {}, int byeTimeoutMs = 30000)
    {
        ivr->Script(document);
        Sipp sipp(sip->GetListenerPort(), rtp.Port(), keys, byeTimeoutMs);
        int code = sipp.Wait(60s);
        if (code != 0)
            ADD_FAILURE() << "SIPp: " << code << "\n" << sipp.Log();
        return code;
    }
    // The same span in the file: from its first frame with sound to the end of its last.
    int ClipMs(const std::string& file)
    {
        std::string error;
        auto clip = ReadAudioFile(kOgmDir + "/" + file, error);
        if (!clip)
            return -1;
        long first = -1, last = -1;
        for (size_t f = 0; f * kFrameSamples < clip->size(); ++f) {
            bool sound = false;
            for (size_t i = f * kFrameSamples; i < std::min(clip->size(), (f + 1) * kFrameSamples); ++i)
                sound = sound || std::abs((*clip)[i]) > 128;
            if (sound) {
                last = static_cast<long>(f);
                if (first < 0)
                    first = last;
            }
        }
        return first < 0 ? 0 : static_cast<int>((last - first + 1) * 20);
    }
    // Milliseconds from the last packet with sound to the end of the dialogue.
    long QuietBeforeEndMs()
    {
        auto packets = rtp.Packets();
        Clock::time_point last{};
        for (const auto& p : packets)
            if (p.sound)
                last = p.at;
        return std::chrono::duration_cast<std::chrono::milliseconds>(record.Ended() - last).count();
    }

    Manager manager;
    Record record;
    RtpSink rtp;
    SipEndpoint* sip = nullptr;
    ScriptedIvrEndpoint* ivr = nullptr;
};

struct Announcement
{
    const char* name;
    std::string (*document)(const std::string&);
    const char* file;
    const char* state;
};

void PrintTo(const Announcement& a, std::ostream* os)
{
    *os << a.name;
}

class IvrSipAnnouncement : public IvrSipCall, public ::testing::WithParamInterface<Announcement>
{
};

TEST_P(IvrSipAnnouncement, PlaysTheFilePausesAndHangsUp)
{
    const Announcement& a = GetParam();
    ASSERT_TRUE(sip->IsListening());
    ASSERT_EQ(Run(a.document(kDir)), 0);
    EXPECT_EQ(record.Find("end "), std::string("end disconnected state=") + a.state + " pin= to=");
    const int clip = ClipMs(a.file);
    EXPECT_NEAR(rtp.SoundMs(), clip, clip * 0.15 + 100) << "about the file's length of sound";
    EXPECT_NEAR(QuietBeforeEndMs(), 3000, 400) << "the break before the hang-up";
}

INSTANTIATE_TEST_SUITE_P(
    Documents, IvrSipAnnouncement,
    ::testing::Values(Announcement{"welcome", test::WelcomeDocument, "ogm1-welcome.wav", ""},
                      Announcement{"wrongcid", test::WrongCidDocument, "ogm2-wrongcid.wav", ""},
                      Announcement{"queuefull", test::QueueFullDocument, "ogm3-queuefull.wav", ""},
                      Announcement{"wrongpin", test::WrongPinDocument, "ogm5-wrongpin.wav", "wrong_pin"},
                      Announcement{"transferdenied", test::TransferDeniedDocument, "ogm7-transferdenied.wav",
                                   "transfer_denied"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(IvrSipCall, PinFieldCollectsRfc2833Keys)
{
    ASSERT_EQ(Run(test::PinDocument(kDir, "ogm4-enterpin.wav", 5), "1234#"), 0);
    EXPECT_EQ(record.Find("end "), "end completed state=enterpin pin=1234 to=");
    // Quiet from the key that cut the prompt short, through the other keys, then the 10 s break.
    EXPECT_GE(QuietBeforeEndMs(), 10000 - 200);
    EXPECT_LE(QuietBeforeEndMs(), 10000 + 4 * 400 + 600);
}

TEST_F(IvrSipCall, PinFieldTakesKeysWhoseEndPacketsNeverCome)
{
    // The same key twice, and every key from a recording with one timestamp: the second 1 is told
    // from the first only by its fresh start (marker bit, duration back at its beginning).
    ivr->Script(test::PinDocument(kDir, "ogm4-enterpin.wav", 5));
    Sipp sipp(sip->GetListenerPort(), rtp.Port(), "1123#", 30000, true);
    ASSERT_EQ(sipp.Wait(60s), 0) << sipp.Log();
    EXPECT_EQ(record.Find("end "), "end completed state=enterpin pin=1123 to=");
}

TEST_F(IvrSipCall, PinAgainRunsNoinputAfterTheTimeout)
{
    ASSERT_EQ(Run(test::PinDocument(kDir, "ogm41-enterpinagain.wav", 1)), 0);
    EXPECT_EQ(record.Find("end "), "end completed state=enterpin pin= to=");
    const int clip = ClipMs("ogm41-enterpinagain.wav");
    EXPECT_NEAR(rtp.SoundMs(), clip, clip * 0.15 + 100);
    EXPECT_NEAR(QuietBeforeEndMs(), 11000, 600) << "a 1 s timeout, then the 10 s break";
}

TEST_F(IvrSipCall, EnterNumberKeepsTheNumberAndEndsWithoutOne)
{
    ASSERT_EQ(Run(test::EnterNumberDocument(kDir, 5), "0123#"), 0);
    EXPECT_EQ(record.Find("end "), "end completed state=transfer pin= to=0123");
}

TEST_F(IvrSipCall, EnterNumberWithoutKeysEndsAfterTheTimeout)
{
    ASSERT_EQ(Run(test::EnterNumberDocument(kDir, 1)), 0);
    EXPECT_EQ(record.Find("end "), "end completed state=transfer pin= to=");
}

TEST_F(IvrSipCall, WaitTransferAsksTheSipLegToTransfer)
{
    ivr->Script(test::WaitTransferDocument(kDir), {{"transfer.transfer_num", "0123"}});
    Sipp sipp(sip->GetListenerPort(), rtp.Port(), {}, 30000);
    ASSERT_TRUE(record.WaitFor("transfer ", 1, 30s)) << sipp.Log();
    EXPECT_EQ(record.Find("transfer "), "transfer sip:0123");
    const int clip = ClipMs("ogm8-waittransfer.wav");
    EXPECT_NEAR(rtp.SoundMs(), clip, clip * 0.15 + 100) << "the prompt plays before the transfer";
    // Whoever transfers clears the call; here the test does.
    manager.ClearAllCalls();
    EXPECT_EQ(sipp.Wait(60s), 0) << sipp.Log();
}

TEST_F(IvrSipCall, WaitConnectPausesAroundItsAnnouncement)
{
    std::string address = test::WaitConnectAddress(kDir);
    auto start = Clock::now();
    ASSERT_EQ(Run(address.substr(4)), 0);
    EXPECT_EQ(record.Find("end "), "end completed state= pin= to=");
    const int clip = ClipMs("waitconnect.wav");
    EXPECT_NEAR(rtp.SoundMs(), clip, clip * 0.15 + 100);
    EXPECT_NEAR(QuietBeforeEndMs(), 3000, 400);
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(6000 + clip));
}

TEST_F(IvrSipCall, AMissingFileIsSpoken)
{
    ASSERT_EQ(Run(test::WelcomeDocument("/nonexistent")), 0);
    EXPECT_GT(rtp.SoundMs(), 700) << "eSpeak NG says the fallback text";
    EXPECT_NEAR(QuietBeforeEndMs(), 3000, 400);
}

TEST_F(IvrSipCall, AMalformedDocumentEndsTheCall)
{
    ASSERT_EQ(Run("<vxml><form><audio>never closed</form></vxml>", {}, 10000), 0);
    EXPECT_EQ(record.Find("end "), "end failed state= pin= to=");
}

} // namespace
} // namespace voip
