// Figures of the exchange: how many calls per second it puts through phone to phone with no failure
// (SIPp callers through the exchange to a SIPp trunk), and what its media relay adds to a packet's
// way, latency and jitter, with 100 calls held each relaying 50 packets per second both ways.
//
//   exchange_bench [--rates 10,20,40,80] [--seconds 5] [--hold-ms 1000] [--relay-seconds 10]
#include "exchange/Exchange.h"
#include "voip/media/RtpRelay.h"
#include "exchange/SipSwitch.h"

#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include "tests/support/LogCapture.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// ---- calls per second ----

bool RunCalls(const exchange::Exchange& pbx, int rate, int seconds, int holdMs, std::string& outcome)
{
    voip::SippProcess uac;
    std::string target = pbx.SipHost() + ":" + std::to_string(pbx.SipPort());
    int calls = rate * seconds;
    auto started = Clock::now();
    if (!uac.Start({"-sf", std::string(SELVANE_EXCHANGE_SIPP_DIR) + "/exchange_uac_hold.xml", "-s", "91234567",
                    target, "-r", std::to_string(rate), "-m", std::to_string(calls), "-l",
                    std::to_string(rate * (holdMs / 1000 + 3)), "-d",
                    std::to_string(holdMs), "-timeout", std::to_string(seconds + holdMs / 1000 + 30) + "s",
                    "-timeout_error", "-recv_timeout", "10000"})) {
        outcome = "SIPp did not start";
        return false;
    }
    int code = uac.Wait(std::chrono::seconds(seconds + holdMs / 1000 + 40));
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::ostringstream text;
    text << calls << " calls in " << elapsed << " s, SIPp exit " << code;
    outcome = text.str();
    return code == 0;
}

// ---- the relay's latency and jitter ----

struct Stream
{
    int sender = -1;   // the caller's socket (sends to its relay port)
    int receiver = -1; // the called party's socket (gets what the relay forwards)
    sockaddr_in to{};
    uint16_t seq = 0;
    uint32_t ts = 0;
    uint32_t ssrc = 0;
    // RFC 3550 interarrival jitter, in nanoseconds.
    double jitter = 0;
    int64_t lastTransit = 0;
    bool haveTransit = false;
};

int BoundSocket(sockaddr_in& addr)
{
    const int fd = testsupport::BoundUdpSocket(0, SOCK_NONBLOCK);
    addr = testsupport::LoopbackAddress(testsupport::PortOf(fd));
    return fd;
}

struct RelayFigures
{
    std::vector<int64_t> latencies; // ns
    std::vector<double> jitters;    // ns, one per stream at the end
    uint64_t sent = 0;
    uint64_t lost = 0;
};

// Streams of 20 ms G.711 packets, paced on an absolute deadline, each from its own socket; with a
// relay, through a pair of its ports, else straight to the receiver (the baseline).
RelayFigures Measure(voip::RtpRelay* relay, int calls, int seconds)
{
    std::vector<Stream> streams(static_cast<size_t>(calls) * 2);
    std::vector<std::shared_ptr<voip::RelayPort>> ports;
    for (size_t i = 0; i < streams.size(); i += 2) {
        // One call: party A and party B, each sending and receiving.
        sockaddr_in a{}, b{};
        int fa = BoundSocket(a), fb = BoundSocket(b);
        streams[i].sender = fa;
        streams[i].receiver = fb;
        streams[i + 1].sender = fb;
        streams[i + 1].receiver = fa;
        streams[i].ssrc = static_cast<uint32_t>(i + 1);
        streams[i + 1].ssrc = static_cast<uint32_t>(i + 2);
        if (relay) {
            auto pa = relay->Open(), pb = relay->Open();
            relay->SetPeer(pa, "127.0.0.1", ntohs(a.sin_port));
            relay->SetPeer(pb, "127.0.0.1", ntohs(b.sin_port));
            relay->Link(pa, pb);
            inet_pton(AF_INET, "127.0.0.1", &streams[i].to.sin_addr);
            streams[i].to.sin_family = streams[i + 1].to.sin_family = AF_INET;
            streams[i + 1].to.sin_addr = streams[i].to.sin_addr;
            streams[i].to.sin_port = htons(static_cast<uint16_t>(pa->Port()));
            streams[i + 1].to.sin_port = htons(static_cast<uint16_t>(pb->Port()));
            ports.push_back(pa);
            ports.push_back(pb);
        } else {
            streams[i].to = b;
            streams[i + 1].to = a;
        }
    }
    RelayFigures figures;
    std::atomic<bool> sending{true};
    std::vector<int> receivedPerStream(streams.size(), 0);
    std::thread receiver([&] {
        std::vector<pollfd> fds;
        for (const Stream& s : streams)
            fds.push_back({s.receiver, POLLIN, 0});
        unsigned char packet[512];
        auto quietSince = Clock::now();
        while (sending || Clock::now() - quietSince < std::chrono::milliseconds(300)) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            quietSince = Clock::now();
            for (size_t f = 0; f < fds.size(); ++f) {
                if (!(fds[f].revents & POLLIN))
                    continue;
                ssize_t n;
                while ((n = recv(fds[f].fd, packet, sizeof packet, 0)) >= 20) {
                    int64_t now = NowNs();
                    int64_t sentAt;
                    uint32_t index;
                    std::memcpy(&sentAt, packet + 12, 8);
                    std::memcpy(&index, packet + 20, 4);
                    if (index >= streams.size())
                        continue;
                    Stream& s = streams[index];
                    figures.latencies.push_back(now - sentAt);
                    ++receivedPerStream[index];
                    // Transit relative to the 20 ms schedule of the RTP timestamp.
                    uint32_t ts = ntohl(*reinterpret_cast<uint32_t*>(packet + 4));
                    int64_t transit = now - static_cast<int64_t>(ts) * 125000;
                    if (s.haveTransit)
                        s.jitter += (std::abs(static_cast<double>(transit - s.lastTransit)) - s.jitter) / 16;
                    s.lastTransit = transit;
                    s.haveTransit = true;
                }
            }
        }
    });
    // The sender: every 20 ms one packet per stream.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    int ticks = seconds * 50;
    unsigned char packet[172] = {};
    for (int tick = 0; tick < ticks; ++tick) {
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = streams[i];
            packet[0] = 0x80;
            packet[1] = 0;
            uint16_t seq = htons(s.seq++);
            uint32_t ts = htonl(static_cast<uint32_t>(tick) * 160);
            uint32_t ssrc = htonl(s.ssrc);
            std::memcpy(packet + 2, &seq, 2);
            std::memcpy(packet + 4, &ts, 4);
            std::memcpy(packet + 8, &ssrc, 4);
            int64_t now = NowNs();
            uint32_t index = static_cast<uint32_t>(i);
            std::memcpy(packet + 12, &now, 8);
            std::memcpy(packet + 20, &index, 4);
            sendto(s.sender, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&s.to), sizeof s.to);
            ++figures.sent;
        }
        deadline.tv_nsec += 20000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
    sending = false;
    receiver.join();
    for (size_t i = 0; i < streams.size(); ++i) {
        figures.jitters.push_back(streams[i].jitter);
        figures.lost += static_cast<uint64_t>(ticks - std::min(ticks, receivedPerStream[i]));
    }
    for (auto& p : ports)
        relay->Close(p);
    for (size_t i = 0; i < streams.size(); i += 2) {
        close(streams[i].sender);
        close(streams[i].receiver);
    }
    return figures;
}

double Percentile(std::vector<int64_t> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))]) / 1000.0;
}

double Mean(const std::vector<double>& v)
{
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size()) / 1000.0;
}

void Print(const char* what, const RelayFigures& f)
{
    std::printf("%-9s packets %llu lost %llu  latency us p50 %.1f p99 %.1f max %.1f  jitter (RFC 3550) us mean %.1f\n",
                what, static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.lost),
                Percentile(f.latencies, 0.5), Percentile(f.latencies, 0.99), Percentile(f.latencies, 1.0),
                Mean(f.jitters));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<int> rates = {10, 20, 40, 80};
    int seconds = 5, holdMs = 1000, relaySeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--rates") {
            rates.clear();
            std::stringstream list(argv[i + 1]);
            std::string item;
            while (std::getline(list, item, ','))
                rates.push_back(std::stoi(item));
        } else if (arg == "--seconds")
            seconds = std::stoi(argv[i + 1]);
        else if (arg == "--hold-ms")
            holdMs = std::stoi(argv[i + 1]);
        else if (arg == "--relay-seconds")
            relaySeconds = std::stoi(argv[i + 1]);
    }
    SetLogFile("exchange-bench.log");
    SetLogConsoleOutput(false);
    ForwardVoipLog();
    SetLogSeverity(Warning);

    // The trunk answers every outside call the callers make.
    voip::SippProcess trunk;
    int trunkPort = testsupport::FreeUdpPort();
    if (!trunk.Start({"-sf", voip::Scenario("sip_uas_answer"), "-p", std::to_string(trunkPort), "-l",
                      "100000"}) ||
        !testsupport::WaitUntilBound(trunkPort)) {
        std::cerr << "exchange_bench: the SIPp trunk did not start\n" << trunk.Log();
        return 1;
    }
    exchange::ExchangeConfig config = exchange::DefaultConfig();
    config.sipAddress = "127.0.0.1:0";
    config.controlAddress = "127.0.0.1:0";
    config.trunk = "127.0.0.1:" + std::to_string(trunkPort);
    config.rtpFirstPort = 41000;
    config.rtpLastPort = 49000;
    exchange::Exchange pbx(config);
    std::string error;
    if (!pbx.Start(error)) {
        std::cerr << "exchange_bench: " << error << "\n";
        return 1;
    }

    std::printf("calls phone to phone (SIPp 102 -> exchange -> SIPp trunk), each held %d ms:\n", holdMs);
    int best = 0;
    for (int rate : rates) {
        std::string outcome;
        bool clean = RunCalls(pbx, rate, seconds, holdMs, outcome);
        std::printf("  %4d calls/s: %s%s\n", rate, clean ? "no failure, " : "FAILURES, ", outcome.c_str());
        std::fflush(stdout);
        if (!clean)
            break;
        best = rate;
        testsupport::WaitFor([&] { return pbx.Sip().CallCount() == 0; }, std::chrono::seconds(10),
                             std::chrono::milliseconds(100));
    }
    std::printf("  highest rate with no failure: %d calls/s\n", best);

    std::printf("media of 100 calls held, 50 packets/s each way (%d s):\n", relaySeconds);
    RelayFigures direct = Measure(nullptr, 100, relaySeconds);
    RelayFigures relayed = Measure(&pbx.Relay(), 100, relaySeconds);
    Print("direct", direct);
    Print("relayed", relayed);
    std::printf("  added by the relay: latency p50 %.1f us, p99 %.1f us; jitter %.1f us\n",
                Percentile(relayed.latencies, 0.5) - Percentile(direct.latencies, 0.5),
                Percentile(relayed.latencies, 0.99) - Percentile(direct.latencies, 0.99),
                Mean(relayed.jitters) - Mean(direct.jitters));
    pbx.Stop();
    return 0;
}
