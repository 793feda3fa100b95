// The SIP endpoint against SIPp on 127.0.0.1: calls in and out, media, digits, registration,
// the service's route entries, load, raw torture messages and a peer that vanishes.
#include "voip/core/Call.h"
#include "voip/local/LocalEndpoint.h"
#include "voip/core/Manager.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "voip/core/Address.h"
#include "tests/support/EventLog.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace voip {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::FreeUdpPort;
using testsupport::WaitUntilBound;

class TestManager : public Manager
{
public:
    ~TestManager() override { ShutDownEndpoints(); }
    void OnReleased(Connection& connection) override
    {
        if (auto* sip = dynamic_cast<SipConnection*>(&connection)) {
            std::lock_guard<std::mutex> lock(mutex);
            sent.push_back(sip->GetPacketsSent());
            received.push_back(sip->GetPacketsReceived());
        }
    }
    std::mutex mutex;
    std::vector<uint64_t> sent;
    std::vector<uint64_t> received;
};

// A UDP socket on a free loopback port, to receive what the endpoint sends.
class UdpSink
{
public:
    UdpSink()
    {
        port = FreeUdpPort(2, true);
        fd = testsupport::BoundUdpSocket(port);
        bound = fd >= 0;
    }
    ~UdpSink() { close(fd); }
    // One datagram, or empty after timeout.
    std::string Receive(std::chrono::milliseconds timeout)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        char buffer[2048];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    void SendTo(int toPort, const std::string& data)
    {
        const sockaddr_in addr = testsupport::LoopbackAddress(toPort);
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    int fd = -1;
    int port = 0;
    bool bound = false;
};

// A SIP user agent of raw datagrams: requests written by hand, answers read back, nothing hidden
// by a stack of its own. Requests the endpoint sends (a NOTIFY, a BYE) are answered 200 only when asked.
class RawSip
{
public:
    explicit RawSip(int endpointPort) : endpointPort_(endpointPort) {}

    struct Request
    {
        std::string method = "OPTIONS";
        std::string callId;
        std::string fromTag = "raw";
        std::string toTag;
        unsigned cseq = 1;
        bool contact = true;
        std::vector<std::string> headers; // more header lines
        std::string contentType;
        std::string body;
        long contentLength = -1; // -1: the body's size
    };

    std::string Target() const { return "sip:1001@127.0.0.1:" + std::to_string(endpointPort_); }
    std::string Me() const { return "sip:raw@127.0.0.1:" + std::to_string(socket_.port); }
    bool Ready() const { return socket_.bound; }

    void Send(const Request& r)
    {
        std::string text = r.method + " " + Target() + " SIP/2.0\r\n" + "Via: SIP/2.0/UDP 127.0.0.1:" +
                           std::to_string(socket_.port) + ";rport;branch=z9hG4bK" + r.callId + "-" +
                           std::to_string(r.cseq) + r.method + "\r\n" + "From: <" + Me() + ">;tag=" + r.fromTag +
                           "\r\n" + "To: <" + Target() + ">" + (r.toTag.empty() ? "" : ";tag=" + r.toTag) + "\r\n" +
                           "Call-ID: " + r.callId + "\r\n" + "CSeq: " + std::to_string(r.cseq) + " " + r.method +
                           "\r\n" + "Max-Forwards: 70\r\n";
        if (r.contact)
            text += "Contact: <" + Me() + ">\r\n";
        for (const auto& h : r.headers)
            text += h + "\r\n";
        if (!r.contentType.empty())
            text += "Content-Type: " + r.contentType + "\r\n";
        text += "Content-Length: " +
                std::to_string(r.contentLength >= 0 ? r.contentLength : static_cast<long>(r.body.size())) +
                "\r\n\r\n" + r.body;
        socket_.SendTo(endpointPort_, text);
    }

    // The final answer to the request callId/cseq, or empty; what else arrives is kept in seen.
    std::string FinalAnswer(const std::string& callId, unsigned cseq, const std::string& method,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        const std::string wantedCseq = "CSeq: " + std::to_string(cseq) + " " + method;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string m = socket_.Receive(std::max(left, std::chrono::milliseconds(1)));
            if (m.empty())
                break;
            seen.push_back(m);
            if (m.compare(0, 8, "SIP/2.0 ") != 0) {
                AnswerRequest(m);
                continue;
            }
            if (Header(m, "Call-ID") == callId && m.find(wantedCseq) != std::string::npos && m[8] >= '2')
                return m;
        }
        return {};
    }

    // Everything that arrives for a while, requests answered as set.
    void Drain(std::chrono::milliseconds period)
    {
        auto deadline = std::chrono::steady_clock::now() + period;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string m = socket_.Receive(std::chrono::milliseconds(50));
            if (m.empty())
                continue;
            seen.push_back(m);
            if (m.compare(0, 8, "SIP/2.0 ") != 0)
                AnswerRequest(m);
        }
    }

    size_t SeenRequests(const std::string& method) const
    {
        size_t n = 0;
        for (const auto& m : seen)
            n += m.compare(0, method.size() + 1, method + " ") == 0;
        return n;
    }

    static int Status(const std::string& answer) { return answer.size() > 11 ? std::atoi(answer.c_str() + 8) : 0; }
    static std::string Header(const std::string& message, const std::string& name)
    {
        size_t at = message.find("\r\n" + name + ":");
        if (at == std::string::npos)
            return {};
        at = message.find_first_not_of(' ', at + name.size() + 3);
        return message.substr(at, message.find("\r\n", at) - at);
    }
    static std::string ToTag(const std::string& answer)
    {
        std::string to = Header(answer, "To");
        size_t at = to.find(";tag=");
        return at == std::string::npos ? std::string() : to.substr(at + 5, to.find(';', at + 5) - at - 5);
    }
    static std::string Offer(const std::string& payloads, const std::string& maps, int port = 9)
    {
        return "v=0\r\no=raw 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
               std::to_string(port) + " RTP/AVP " + payloads + "\r\n" + maps;
    }

    bool answerRequests = true;
    std::vector<std::string> seen;

private:
    void AnswerRequest(const std::string& request)
    {
        if (!answerRequests || request.compare(0, 4, "ACK ") == 0)
            return;
        std::string answer = "SIP/2.0 200 OK\r\n";
        for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
            answer += std::string(name) + ": " + Header(request, name) + "\r\n";
        socket_.SendTo(endpointPort_, answer + "Content-Length: 0\r\n\r\n");
    }

    int endpointPort_;
    UdpSink socket_;
};

class SipTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        local.SetEventHandler([this](const std::string& e) { events.Add(e); });
        sipPort = FreeUdpPort();
        ASSERT_GT(sipPort, 0);
        sip.SetRtpPortRange(41000, 49000);
        ASSERT_TRUE(sip.StartListeners({"127.0.0.1:" + std::to_string(sipPort)}));
    }

    // SIPp calling this endpoint.
    std::vector<std::string> Uac(const std::string& scenario, const std::string& service, int calls = 1)
    {
        return {"127.0.0.1:" + std::to_string(sipPort), "-sf", Scenario(scenario), "-s", service, "-m",
                std::to_string(calls), "-l", std::to_string(calls), "-r", std::to_string(calls), "-timeout",
                "30s", "-timeout_error"};
    }
    // SIPp answering on port.
    std::vector<std::string> Uas(const std::string& scenario, int port, int calls = 1)
    {
        return {"-sf", Scenario(scenario), "-p", std::to_string(port), "-m", std::to_string(calls),
                "-timeout", "30s", "-timeout_error"};
    }
    std::string Token(const std::string& event) const
    {
        size_t first = event.find(' ');
        return event.substr(first + 1, event.find(' ', first + 1) - first - 1);
    }
    bool WaitEstablished(const std::string& token)
    {
        return testsupport::WaitFor([&] { return manager.IsCallEstablished(token); });
    }
    // SIPp calling this endpoint with the audio of the call sent to sink; true once established.
    bool StartCallerSendingAudioTo(SippProcess& sipp, const std::string& scenario, const UdpSink& sink)
    {
        auto args = Uac(scenario, "1001");
        args.insert(args.end(), {"-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port", std::to_string(sink.port)});
        return sink.bound && sipp.Start(args) && events.WaitFor("established ");
    }
    // A call from the local party to a SIPp playing scenario as the called party.
    bool CallSippAnswering(SippProcess& sipp, const std::string& scenario, std::string& token)
    {
        int port = FreeUdpPort();
        return sipp.Start(Uas(scenario, port)) && WaitUntilBound(port) &&
               manager.SetUpCall("local:", "sip:100@127.0.0.1:" + std::to_string(port), token);
    }
    // A SIPp playing the server of line 1001 (password "secret"), the line registered with it;
    // its port, or 0.
    int StartLineServer(SippProcess& server, const std::string& scenario, int calls)
    {
        int port = FreeUdpPort();
        if (!server.Start(Uas(scenario, port, calls)) || !WaitUntilBound(port))
            return 0;
        SipRegistrationParams line;
        line.registrarAddress = "127.0.0.1:" + std::to_string(port);
        line.addressOfRecord = "1001";
        line.password = "secret";
        std::string aor;
        return sip.Register(line, aor) ? port : 0;
    }
    bool WaitNoCalls()
    {
        return testsupport::WaitFor([&] { return manager.GetCallCount() == 0; });
    }
    std::shared_ptr<LocalConnection> OnlyLocalConnection(LocalEndpoint& endpoint)
    {
        auto tokens = endpoint.GetConnectionTokens();
        return tokens.size() == 1 ? std::dynamic_pointer_cast<LocalConnection>(endpoint.FindConnection(tokens[0]))
                                  : nullptr;
    }

    EventLog events;
    TestManager manager;
    LocalEndpoint& local = manager.AddEndpoint(std::make_unique<LocalEndpoint>(manager));
    SipEndpoint& sip = manager.AddEndpoint(std::make_unique<SipEndpoint>(manager));
    int sipPort = 0;
};

TEST_F(SipTest, IncomingCallIsAnsweredWithPcmuAtFiftyPacketsASecondAndClearedWithBye)
{
    manager.AddRouteEntry(".* = local:");
    UdpSink rtp;
    SippProcess sipp;
    ASSERT_TRUE(StartCallerSendingAudioTo(sipp, "sip_uac_audio", rtp));

    // Two seconds of packets after the first.
    std::string first = rtp.Receive(5s);
    ASSERT_EQ(first.size(), 12u + 160u);
    EXPECT_EQ(static_cast<uint8_t>(first[1]) & 0x7f, 0) << "PCMU";
    auto start = std::chrono::steady_clock::now();
    int packets = 0;
    while (std::chrono::steady_clock::now() - start < 2s) {
        std::string p = rtp.Receive(500ms);
        ASSERT_FALSE(p.empty());
        ++packets;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(packets / seconds, 50.0, 5.0);

    std::string token = manager.GetCallTokens().at(0);
    ASSERT_TRUE(manager.ClearCallSynchronous(token));
    EXPECT_EQ(events.Count("released "), 1u);
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, Rfc2833DigitsArriveOnceEachAsUserInput)
{
    manager.AddRouteEntry(".* = local:");
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_digits", "1001")));
    ASSERT_TRUE(events.WaitFor("released ", 1, 20s)) << sipp.Log();
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
    std::string keys;
    for (const auto& e : events.All())
        if (e.compare(0, 6, "input ") == 0)
            keys += e.substr(e.rfind(' ') + 1);
    EXPECT_EQ(keys, "123#");
    EXPECT_EQ(events.Count("input "), 4u);
}

TEST_F(SipTest, InfoDigitsArriveAsUserInput)
{
    manager.AddRouteEntry(".* = local:");
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_info", "1001")));
    ASSERT_TRUE(events.WaitFor("input ", 2)) << sipp.Log();
    auto connection = OnlyLocalConnection(local);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->ReceivedInput(), "4*");
    manager.ClearAllCalls();
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, OutgoingCallEstablishmentIsSeenFromAnotherThreadAndClearedSynchronously)
{
    SippProcess sipp;
    std::string token;
    ASSERT_TRUE(CallSippAnswering(sipp, "sip_uas_answer", token)) << sipp.Log();
    EXPECT_FALSE(token.empty());
    std::atomic<bool> seen{false};
    std::thread watcher([&] { seen = WaitEstablished(token); });
    watcher.join();
    ASSERT_TRUE(seen) << sipp.Log();
    auto call = manager.FindCall(token);
    ASSERT_TRUE(call);
    EXPECT_FALSE(call->GetConnection(1)->IsOriginating());
    EXPECT_EQ(call->GetConnection(0)->GetRemotePartyNumber(), "100");

    ASSERT_TRUE(manager.ClearCallSynchronous(token));
    // Synchronous: every release notification has run.
    EXPECT_EQ(events.Count("released "), 1u);
    EXPECT_EQ(manager.GetCallCount(), 0u);
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, BusyCalledPartyReleasesTheCallWithItsReason)
{
    SippProcess sipp;
    std::string token;
    ASSERT_TRUE(CallSippAnswering(sipp, "sip_uas_busy", token)) << sipp.Log();
    ASSERT_TRUE(events.WaitFor("released ")) << sipp.Log();
    EXPECT_NE(events.All().back().find("busy"), std::string::npos) << events.All().back();
    EXPECT_EQ(events.Count("established "), 0u);
    EXPECT_FALSE(manager.IsCallEstablished(token));
    EXPECT_TRUE(WaitNoCalls());
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, OutgoingCallClearedWhileRingingIsCancelled)
{
    SippProcess sipp;
    std::string token;
    ASSERT_TRUE(CallSippAnswering(sipp, "sip_uas_ring", token)) << sipp.Log();
    auto call = manager.FindCall(token);
    ASSERT_TRUE(call);
    auto leg = call->GetConnection(1);
    ASSERT_TRUE(testsupport::WaitFor([&] { return leg->GetPhase() == Connection::Phase::Alerting; })) << sipp.Log();
    EXPECT_FALSE(manager.IsCallEstablished(token));
    ASSERT_TRUE(manager.ClearCallSynchronous(token));
    EXPECT_EQ(leg->GetCallEndReason(), CallEndReason::LocalUser);
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, ReInviteMovesTheMediaAndKeepsTheCall)
{
    manager.AddRouteEntry(".* = local:");
    UdpSink rtp;
    SippProcess sipp;
    ASSERT_TRUE(StartCallerSendingAudioTo(sipp, "sip_uac_reinvite", rtp));
    // Audio reaches the address of the re-INVITE.
    std::string packet = rtp.Receive(10s);
    EXPECT_EQ(packet.size(), 12u + 160u) << sipp.Log();
    EXPECT_EQ(manager.GetCallCount(), 1u);
    EXPECT_EQ(events.Count("released "), 0u);
    manager.ClearAllCalls();
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, IncomingCallCancelledWhileRingingIsReleased)
{
    manager.AddRouteEntry(".* = local:");
    local.SetAutoAnswer(false);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_cancel", "1001")));
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
    ASSERT_TRUE(events.WaitFor("released ")) << sipp.Log();
    EXPECT_NE(events.All().back().find("remote cancel"), std::string::npos) << events.All().back();
    EXPECT_EQ(events.Count("established "), 0u);
    EXPECT_TRUE(WaitNoCalls());
}

TEST_F(SipTest, TransferOfTheSipLegSendsRefer)
{
    SippProcess sipp;
    std::string token;
    ASSERT_TRUE(CallSippAnswering(sipp, "sip_uas_refer", token)) << sipp.Log();
    ASSERT_TRUE(WaitEstablished(token)) << sipp.Log();
    auto leg = manager.FindCall(token)->GetConnection(1);
    EXPECT_TRUE(leg->TransferConnection("sip:0123@127.0.0.1"));
    // The REFER goes out before the BYE that follows it.
    manager.ClearCallSynchronous(token);
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, RegistrationAnswersTheDigestChallengeAndRefreshesBeforeExpiry)
{
    int registrarPort = FreeUdpPort();
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uas("sip_uas_register", registrarPort)));
    ASSERT_TRUE(WaitUntilBound(registrarPort));
    SipRegistrationParams params;
    params.registrarAddress = "127.0.0.1:" + std::to_string(registrarPort);
    params.addressOfRecord = "1001";
    params.authID = "1001";
    params.password = "secret";
    params.expire = 360;
    std::string aor;
    ASSERT_TRUE(sip.Register(params, aor));
    EXPECT_EQ(aor, "sip:1001@127.0.0.1:" + std::to_string(registrarPort));
    // The registrar grants 2 s: the refresh comes before they run out.
    EXPECT_EQ(sipp.Wait(15s), 0) << sipp.Log();
    EXPECT_GE(sip.RegistrationCount(aor), 2u);
    EXPECT_TRUE(sip.IsRegistered(aor));
}

TEST_F(SipTest, RouteEntriesOfTheServiceLines)
{
    auto& ivr = manager.AddEndpoint(std::make_unique<LocalEndpoint>(manager, "ivr"));
    ivr.SetEventHandler([this](const std::string& e) { events.Add("ivr " + e); });
    SippProcess server;
    int serverPort = StartLineServer(server, "sip_uas_line", 3);
    ASSERT_GT(serverPort, 0) << server.Log();
    ASSERT_TRUE(manager.AddRouteEntry("sip:.*1001.* = ivr:"));
    ASSERT_TRUE(manager.AddRouteEntry(".* = sip:<dn>@127.0.0.1:" + std::to_string(serverPort)));

    // A call to the line's login reaches the IVR.
    SippProcess caller;
    ASSERT_TRUE(caller.Start(Uac("sip_uac_info", "1001")));
    ASSERT_TRUE(events.WaitFor("ivr input ", 2)) << caller.Log();
    auto incoming = OnlyLocalConnection(ivr);
    ASSERT_TRUE(incoming);
    EXPECT_EQ(incoming->GetAddress(), "ivr:");
    EXPECT_EQ(incoming->GetRemotePartyNumber(), "20001");
    EXPECT_TRUE(incoming->GetOtherPartyConnection()->IsOriginating());
    manager.ClearAllCalls();
    EXPECT_EQ(caller.Wait(), 0) << caller.Log();

    StringOptions options{{kCallingPartyNumber, "1001"}, {kCallingPartyName, "1001"}, {kCallingDisplayName, "1001"}};
    // A bare number from the IVR goes out through the line's server; a URL without host as well.
    for (const std::string& number : {std::string("5551234"), std::string("sip:912345")}) {
        std::string token;
        ASSERT_TRUE(manager.SetUpCall("ivr:", number, token, nullptr, 0, options)) << number;
        ASSERT_TRUE(WaitEstablished(token)) << server.Log();
        auto call = manager.FindCall(token);
        ASSERT_TRUE(call);
        auto leg = call->GetConnection(1);
        EXPECT_EQ(UserPartOf(leg->GetLocalPartyAddress()), "1001");
        EXPECT_EQ(leg->GetStringOptions().at(kCallingPartyNumber), "1001");
        manager.ClearCallSynchronous(token);
    }
    EXPECT_EQ(server.Wait(), 0) << server.Log();
}

TEST_F(SipTest, CallOnALineAnswersTheServersDigestChallenge)
{
    SippProcess server;
    ASSERT_GT(StartLineServer(server, "sip_uas_line_auth", 2), 0) << server.Log();
    std::string token;
    StringOptions options{{kCallingPartyNumber, "1001"}, {kCallingDisplayName, "1001"}};
    ASSERT_TRUE(manager.SetUpCall("local:", "sip:912345", token, nullptr, 0, options));
    ASSERT_TRUE(WaitEstablished(token)) << server.Log();
    manager.ClearCallSynchronous(token);
    EXPECT_EQ(server.Wait(), 0) << server.Log();
}

TEST_F(SipTest, FiftySimultaneousCallsWithAudio)
{
    manager.AddRouteEntry(".* = local:");
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_load", "1001", 50)));
    EXPECT_EQ(sipp.Wait(60s), 0) << sipp.Log();
    ASSERT_TRUE(events.WaitFor("released ", 50, 10s));
    EXPECT_EQ(events.Count("established "), 50u);
    std::lock_guard<std::mutex> lock(manager.mutex);
    ASSERT_EQ(manager.sent.size(), 50u);
    for (size_t i = 0; i < manager.sent.size(); ++i) {
        // 3 s of call: about 150 packets sent; the capture SIPp plays has 33 a second.
        EXPECT_GT(manager.sent[i], 120u) << i;
        EXPECT_GT(manager.received[i], 80u) << i;
    }
}

TEST_F(SipTest, TortureMessagesNeitherCrashNorWedgeTheEndpoint)
{
    manager.AddRouteEntry(".* = local:");
    const std::string target = "sip:1001@127.0.0.1:" + std::to_string(sipPort);
    // After RFC 4475: bad header syntax, impossible numbers, missing and contradictory headers.
    const std::vector<std::string> messages = {
        "INVITE " + target + " SIP/2.0\r\nTo: <" + target + ">\r\nFrom: <sip:a@127.0.0.1>;tag=1\r\n"
        "Call-ID: torture-1\r\nCSeq: 9999999999999999999 INVITE\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK1\r\n"
        "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
        "INVITE " + target + " SIP/2.0\r\nTo: <" + target + ">\r\nFrom: <sip:a@127.0.0.1>;tag=2\r\n"
        "Call-ID: torture-2\r\nCSeq: 1 INVITE\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK2\r\n"
        "Max-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: 9999\r\n\r\nv=0\r\n",
        "INVITE " + target + " SIP/2.0\r\nTo: <" + target + ">\r\nFrom: <sip:a@127.0.0.1>;tag=3\r\n"
        "Call-ID: torture-3\r\nCSeq: 1 INVITE\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK3\r\n"
        "Max-Forwards: 70\r\nContent-Length: -999\r\n\r\n",
        "INVITE " + target + " SIP/2.0\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n",
        "OPTIONS " + target + " SIP/2.0\r\nTo: <" + target + ">\r\nFrom: <sip:a@127.0.0.1>;tag=5\r\n"
        "Call-ID: torture-5\r\nCSeq: 8 INVITE\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK5\r\n"
        "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
        "INVITE sip:\x01\xff%%zz@[::1:bad] SIP/7.0\r\nVia: ;;;\r\n\r\n",
        "BYE " + target + " SIP/2.0\r\nTo: <" + target + ">;tag=none\r\nFrom: <sip:a@127.0.0.1>;tag=6\r\n"
        "Call-ID: no-such-dialog\r\nCSeq: 2 BYE\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK6\r\n"
        "Max-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
        std::string(3000, 'A'),
        "INVITE " + target + " SIP/2.0\r\nTo: \"" + std::string(2000, 'x') + "\" <" + target + ">\r\n"
        "From: <sip:a@127.0.0.1>;tag=8\r\nCall-ID: torture-8\r\nCSeq: 1 INVITE\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bK8\r\nMax-Forwards: 0\r\nContent-Length: 0\r\n\r\n",
    };
    UdpSink raw;
    for (const auto& m : messages)
        raw.SendTo(sipPort, m);

    // Still answering: a well-formed OPTIONS gets its 200, and a real call goes through.
    raw.SendTo(sipPort, "OPTIONS " + target + " SIP/2.0\r\nTo: <" + target + ">\r\nFrom: <sip:a@127.0.0.1:" +
                            std::to_string(raw.port) + ">;tag=9\r\nCall-ID: alive-1\r\nCSeq: 1 OPTIONS\r\n"
                            "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(raw.port) +
                            ";branch=z9hG4bKalive\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
    bool alive = false;
    while (!alive) {
        std::string reply = raw.Receive(5s);
        if (reply.empty())
            break;
        alive = reply.find("alive-1") != std::string::npos && reply.compare(0, 11, "SIP/2.0 200") == 0;
    }
    EXPECT_TRUE(alive);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_info", "1001")));
    ASSERT_TRUE(events.WaitFor("input ", 2)) << sipp.Log();
    manager.ClearAllCalls();
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, PeerThatVanishesIsClearedWhenItsRtpStops)
{
    manager.AddRouteEntry(".* = local:");
    sip.SetMediaTimeout(1500ms);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_vanish", "1001")));
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
    ASSERT_TRUE(events.WaitFor("released ", 1, 10s));
    EXPECT_EQ(events.Count("released " + std::string()), 1u);
    bool timedOut = false;
    for (const auto& e : events.All())
        timedOut = timedOut || e.find("media timeout") != std::string::npos;
    EXPECT_TRUE(timedOut);
    EXPECT_TRUE(WaitNoCalls());
}

TEST_F(SipTest, BaresipCallsInBothDirectionsWithDigits)
{
    manager.AddRouteEntry(".* = local:");
    ChildProcess baresip;
    ASSERT_TRUE(baresip.MakeFolder());
    int phonePort = FreeUdpPort();
    int rtpBase = FreeUdpPort(20, true);
    {
        std::ofstream config(baresip.Folder() + "/config");
        // No sound devices: a tone as microphone, a bridge as loudspeaker, and no jitter buffer, so
        // the telephone events it receives are handled as they come.
        config << "sip_listen 127.0.0.1:" << phonePort << "\n"
               << "audio_source ausine,440\naudio_player aubridge,x\naudio_alert aubridge,x\n"
               << "ausrc_srate 48000\nauplay_srate 48000\nausrc_channels 2\njitter_buffer_delay 0-0\n"
               << "rtp_ports " << rtpBase << "-" << rtpBase + 19 << "\n"
               << "module_path /usr/lib/baresip/modules\nmodule stdio.so\nmodule g711.so\n"
               << "module ausine.so\nmodule aubridge.so\nmodule_app account.so\nmodule_app menu.so\n";
        std::ofstream accounts(baresip.Folder() + "/accounts");
        accounts << "<sip:phone@127.0.0.1:" << phonePort << ">;regint=0;answermode=auto\n";
    }
    ASSERT_TRUE(baresip.Run({"baresip", "-v", "-f", baresip.Folder()}, true));
    ASSERT_TRUE(baresip.WaitForOutput("baresip is ready")) << baresip.Log();

    // The phone calls us and keys 1 2 #.
    ASSERT_TRUE(baresip.Write("/dial sip:1001@127.0.0.1:" + std::to_string(sipPort) + "\n"));
    ASSERT_TRUE(events.WaitFor("established ")) << baresip.Log();
    auto incoming = OnlyLocalConnection(local);
    ASSERT_TRUE(incoming);
    EXPECT_EQ(incoming->GetRemotePartyNumber(), "phone");
    // Each key once, promptly.
    ASSERT_TRUE(baresip.Write("12#"));
    ASSERT_TRUE(events.WaitFor("input ", 3, 3s)) << baresip.Log();
    EXPECT_FALSE(events.WaitFor("input ", 4, 1s));
    EXPECT_EQ(incoming->ReceivedInput(), "12#");
    manager.ClearAllCalls();
    // The BYE ends it, or the ICMP errors of the RTP port closed with the call, whichever it sees first.
    ASSERT_TRUE(baresip.WaitForAnyOutput({"terminated", "session closed"})) << baresip.Log();

    // We call the phone, which answers by itself, and key 4 5.
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("local:", "sip:phone@127.0.0.1:" + std::to_string(phonePort), token));
    ASSERT_TRUE(WaitEstablished(token)) << baresip.Log();
    auto outgoing = std::dynamic_pointer_cast<LocalConnection>(manager.FindCall(token)->GetConnection(0));
    ASSERT_TRUE(outgoing);
    ASSERT_TRUE(outgoing->SendKeys("45"));
    EXPECT_TRUE(baresip.WaitForOutput("received event: '4' (end=1)")) << baresip.Log();
    EXPECT_TRUE(baresip.WaitForOutput("received event: '5' (end=1)")) << baresip.Log();
    manager.ClearCallSynchronous(token);
    baresip.Write("/quit\n");
    EXPECT_EQ(baresip.Wait(10s), 0) << baresip.Log();
}

TEST_F(SipTest, RefersAreRefusedAndTheEndpointKeepsWorking)
{
    manager.AddRouteEntry(".* = local:");
    RawSip peer(sipPort);
    ASSERT_TRUE(peer.Ready());
    // Like the sender that used to stop the process: it never answers the NOTIFYs a REFER may draw.
    peer.answerRequests = false;
    auto refer = [&](const std::string& callId) {
        RawSip::Request r;
        r.method = "REFER";
        r.callId = callId;
        r.headers = {"Refer-To: <sip:0123@127.0.0.1>"};
        peer.Send(r);
        return RawSip::Status(peer.FinalAnswer(callId, 1, "REFER"));
    };
    // A second apart (the retransmission timers of one fire while the next arrives), then close together.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(refer("refer-slow-" + std::to_string(i)), 405) << i;
        peer.Drain(1s);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(refer("refer-fast-" + std::to_string(i)), 405) << i;
        peer.Drain(100ms);
    }
    peer.Drain(2s);
    EXPECT_EQ(peer.SeenRequests("NOTIFY"), 0u);
    EXPECT_EQ(manager.GetCallCount(), 0u);

    // Still alive and serving calls.
    RawSip::Request ping;
    ping.callId = "alive-after-refer";
    peer.Send(ping);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(ping.callId, 1, "OPTIONS")), 200);
    SippProcess sipp;
    ASSERT_TRUE(sipp.Start(Uac("sip_uac_info", "1001")));
    ASSERT_TRUE(events.WaitFor("input ", 2)) << sipp.Log();
    manager.ClearAllCalls();
    EXPECT_EQ(sipp.Wait(), 0) << sipp.Log();
}

TEST_F(SipTest, RequestsThatCannotMakeACallGetAnswersPeersActOn)
{
    manager.AddRouteEntry(".* = local:");
    RawSip peer(sipPort);
    ASSERT_TRUE(peer.Ready());
    const std::string g711 = RawSip::Offer("0 101", "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n");
    auto invite = [&](const std::string& callId, auto&& change) {
        RawSip::Request r;
        r.method = "INVITE";
        r.callId = callId;
        r.contentType = "application/sdp";
        r.body = g711;
        change(r);
        peer.Send(r);
        std::string answer = peer.FinalAnswer(callId, 1, "INVITE");
        if (RawSip::Status(answer) >= 300) {
            RawSip::Request ack = r;
            ack.method = "ACK";
            ack.toTag = RawSip::ToTag(answer);
            ack.body.clear();
            ack.contentType.clear();
            ack.contentLength = -1;
            peer.Send(ack);
        }
        return answer;
    };

    // Only G.729 offered: 488 and no call, not a call without audio.
    std::string answer = invite("g729-only", [](RawSip::Request& r) {
        r.body = RawSip::Offer("18", "a=rtpmap:18 G729/8000\r\n");
    });
    EXPECT_EQ(RawSip::Status(answer), 488) << answer;
    // No Contact: nowhere to send the BYE.
    answer = invite("no-contact", [](RawSip::Request& r) { r.contact = false; });
    EXPECT_EQ(RawSip::Status(answer), 400) << answer;
    // A body shorter than its Content-Length.
    answer = invite("short-body", [](RawSip::Request& r) { r.contentLength = static_cast<long>(r.body.size()) + 200; });
    EXPECT_EQ(RawSip::Status(answer), 400) << answer;
    // INFO outside any call.
    RawSip::Request info;
    info.method = "INFO";
    info.callId = "info-nowhere";
    info.contentType = "application/dtmf-relay";
    info.body = "Signal=5\r\nDuration=160\r\n";
    peer.Send(info);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(info.callId, 1, "INFO")), 481);
    EXPECT_EQ(events.Count("established "), 0u);
    EXPECT_EQ(manager.GetCallCount(), 0u);

    // A good call still goes through, and inside it INFO keys count only with the right tags.
    answer = invite("good-call", [](RawSip::Request&) {});
    ASSERT_EQ(RawSip::Status(answer), 200) << answer;
    RawSip::Request ack;
    ack.method = "ACK";
    ack.callId = "good-call";
    ack.toTag = RawSip::ToTag(answer);
    peer.Send(ack);
    ASSERT_TRUE(events.WaitFor("established "));
    info.callId = "good-call";
    info.toTag = "not-the-endpoints";
    info.cseq = 2;
    peer.Send(info);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(info.callId, 2, "INFO")), 481);
    info.toTag = ack.toTag;
    info.cseq = 3;
    info.body = "Signal=7\r\nDuration=160\r\n";
    peer.Send(info);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(info.callId, 3, "INFO")), 200);
    ASSERT_TRUE(events.WaitFor("input "));
    auto connection = OnlyLocalConnection(local);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->ReceivedInput(), "7");
    // A transfer asked by the peer is refused and the call stays.
    RawSip::Request refer = info;
    refer.method = "REFER";
    refer.cseq = 4;
    refer.body.clear();
    refer.contentType.clear();
    refer.headers = {"Refer-To: <sip:0123@127.0.0.1>"};
    peer.Send(refer);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(refer.callId, 4, "REFER")), 405);
    RawSip::Request bye = refer;
    bye.method = "BYE";
    bye.cseq = 5;
    bye.headers.clear();
    peer.Send(bye);
    EXPECT_EQ(RawSip::Status(peer.FinalAnswer(bye.callId, 5, "BYE")), 200);
    EXPECT_TRUE(events.WaitFor("released "));
    EXPECT_EQ(events.Count("input "), 1u);
    EXPECT_TRUE(WaitNoCalls());
}

} // namespace
} // namespace voip
