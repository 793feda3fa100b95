// Figures of the exchange: how many calls per second it puts through phone to phone with no failure
// (SIPp callers through the exchange to a SIPp trunk), and what the media relay adds to a packet's
// way (latency, jitter) and costs (CPU of its thread per call-second), with 100, 200 and 400 calls
// held each relaying 50 packets per second both ways: through the exchange's own relay ports, and
// through sockets a relay took over with PCMU transcoded to PCMA and back, as the service joins calls.
//
//   exchange_bench [--rates 10,20,40,80] [--seconds 5] [--hold-ms 1000] [--relay-seconds 10]
//                  [--pairs 100,200,400]
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
#include <dirent.h>
#include <fstream>
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
    double cpuSeconds = 0; // of the relays' threads
};

// CPU time the relays' threads (however many run) have used, in seconds.
double RelayCpuSeconds()
{
    double total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        const std::string folder = std::string("/proc/self/task/") + task->d_name;
        std::string name;
        std::getline(std::ifstream(folder + "/comm"), name);
        if (name != "voip-relay")
            continue;
        std::string stat;
        std::getline(std::ifstream(folder + "/stat"), stat);
        // utime and stime are the 14th and 15th fields; the name in parentheses may hold spaces.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(tasks);
    return total;
}

enum class Path
{
    Direct,  // the baseline: straight to the receiver
    Opened,  // a pair of the relay's own ports (the exchange's way), payload unchanged
    Adopted, // a pair of sockets the relay took over, one side PCMU and the other PCMA
};

// Where the sender's time and the stream's index ride: a header extension, which transcoding leaves
// alone, then 160 bytes of G.711.
constexpr size_t kExtension = 12;
constexpr size_t kPacketSize = 12 + 4 + 12 + 160;

// Streams of 20 ms G.711 packets, paced on an absolute deadline, each from its own socket, along path.
RelayFigures Measure(voip::RtpRelay* relay, Path path, int calls, int seconds)
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
        if (path != Path::Direct) {
            std::shared_ptr<voip::RelayPort> pa, pb;
            if (path == Path::Opened) {
                pa = relay->Open();
                pb = relay->Open();
            } else {
                pa = relay->Adopt(testsupport::BoundUdpSocket(0, SOCK_NONBLOCK), -1);
                pb = relay->Adopt(testsupport::BoundUdpSocket(0, SOCK_NONBLOCK), -1);
                relay->SetCodec(pa, {0, 101, 101});
                relay->SetCodec(pb, {8, 101, 101});
            }
            if (!pa || !pb) {
                std::fprintf(stderr, "exchange_bench: the relay has no ports for %d calls\n", calls);
                std::exit(1);
            }
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
        unsigned char packet[2048];
        auto quietSince = Clock::now();
        while (sending || Clock::now() - quietSince < std::chrono::milliseconds(300)) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            quietSince = Clock::now();
            for (size_t f = 0; f < fds.size(); ++f) {
                if (!(fds[f].revents & POLLIN))
                    continue;
                ssize_t n;
                while ((n = recv(fds[f].fd, packet, sizeof packet, 0)) >= static_cast<ssize_t>(kPacketSize)) {
                    int64_t now = NowNs();
                    int64_t sentAt;
                    uint32_t index;
                    std::memcpy(&sentAt, packet + 16, 8);
                    std::memcpy(&index, packet + 24, 4);
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
    unsigned char packet[kPacketSize];
    std::memset(packet, 0xff, sizeof packet); // u-law silence
    const double cpuBefore = RelayCpuSeconds();
    for (int tick = 0; tick < ticks; ++tick) {
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = streams[i];
            packet[0] = 0x90; // version 2 with a header extension
            packet[1] = 0;
            packet[12] = 0xbe;
            packet[13] = 0xde;
            packet[14] = 0;
            packet[15] = kExtension / 4;
            uint16_t seq = htons(s.seq++);
            uint32_t ts = htonl(static_cast<uint32_t>(tick) * 160);
            uint32_t ssrc = htonl(s.ssrc);
            std::memcpy(packet + 2, &seq, 2);
            std::memcpy(packet + 4, &ts, 4);
            std::memcpy(packet + 8, &ssrc, 4);
            int64_t now = NowNs();
            uint32_t index = static_cast<uint32_t>(i);
            std::memcpy(packet + 16, &now, 8);
            std::memcpy(packet + 24, &index, 4);
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
    figures.cpuSeconds = RelayCpuSeconds() - cpuBefore;
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
    std::printf("  %-9s packets %llu lost %llu  latency us p50 %.1f p99 %.1f max %.1f  jitter (RFC 3550) us "
                "mean %.1f\n",
                what, static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.lost),
                Percentile(f.latencies, 0.5), Percentile(f.latencies, 0.99), Percentile(f.latencies, 1.0),
                Mean(f.jitters));
}

void PrintAdded(const char* what, const RelayFigures& direct, const RelayFigures& relayed, int calls, int seconds)
{
    std::printf("  added by the %s: latency p50 %.1f us, p99 %.1f us; jitter %.1f us; relay CPU %.2f us per "
                "call-second\n",
                what, Percentile(relayed.latencies, 0.5) - Percentile(direct.latencies, 0.5),
                Percentile(relayed.latencies, 0.99) - Percentile(direct.latencies, 0.99),
                Mean(relayed.jitters) - Mean(direct.jitters), relayed.cpuSeconds * 1e6 / calls / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<int> rates = {10, 20, 40, 80};
    std::vector<int> pairs = {100, 200, 400};
    int seconds = 5, holdMs = 1000, relaySeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--rates" || arg == "--pairs") {
            std::vector<int>& numbers = arg == "--rates" ? rates : pairs;
            numbers.clear();
            std::stringstream list(argv[i + 1]);
            std::string item;
            while (std::getline(list, item, ','))
                numbers.push_back(std::stoi(item));
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

    // The service's way: sockets taken over from its own legs, the two parties on different laws.
    voip::RtpRelay joins("127.0.0.1", 0, 0);
    if (!joins.Start()) {
        std::cerr << "exchange_bench: the second relay did not start\n";
        return 1;
    }
    for (int calls : pairs) {
        std::printf("media of %d calls held, 50 packets/s each way (%d s): direct, through the exchange's relay "
                    "ports, through adopted sockets with PCMU<->PCMA:\n",
                    calls, relaySeconds);
        std::fflush(stdout);
        RelayFigures direct = Measure(nullptr, Path::Direct, calls, relaySeconds);
        RelayFigures relayed = Measure(&pbx.Relay(), Path::Opened, calls, relaySeconds);
        RelayFigures adopted = Measure(&joins, Path::Adopted, calls, relaySeconds);
        Print("direct", direct);
        Print("relayed", relayed);
        Print("adopted", adopted);
        PrintAdded("exchange's relay ports", direct, relayed, calls, relaySeconds);
        PrintAdded("relay through adopted sockets, transcoding", direct, adopted, calls, relaySeconds);
        std::fflush(stdout);
    }
    joins.Stop();
    pbx.Stop();
    return 0;
}
