// Figures of the PBX bridge against a local control server: the round trip of GetCOS from telephony
// threads (through the wrapper's dynamic call and the component's TCP client), and how many line-state
// events per second reach the bridge's slot.
//   norcom_bench [round trips per thread] [events]
//   norcom_bench --server HOST:PORT USER PASSWORD LINE... [--calls N]   (round trips against a real exchange)
#include "platform/pbxcontrol/NorComComponent.h"
#include "service/core/INorCOMEventsReceiver.h"
#include "service/core/CBSrvSettings.h"
#include "service/telephony/NorCOMCallback.h"
#include "service/telephony/NorCom.h"
#include "service/telephony/PlatformLogging.h"
#include "service/telephony/tests/TestControlServer.h"

#include <QCoreApplication>
#include <QStringList>
#include <QtCore/qtestsupport_core.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Counter final : public INorCOMEventsReceiver
{
public:
    void OnSIPCallConnected(const std::string&) override { ++count; }
    void OnSIPCallDisconnected(const std::string&) override { ++count; }
    std::atomic<long> count{0};
};

double percentile(std::vector<double>& sorted, double p)
{
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

void roundTrips(NorCOMCallback& bridge, const std::vector<std::string>& lines, int threads, int perThread)
{
    std::vector<std::vector<double>> samples(static_cast<size_t>(threads));
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    const auto start = Clock::now();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string& line = lines[size_t(t) % lines.size()];
            samples[size_t(t)].reserve(size_t(perThread));
            for (int i = 0; i < perThread; ++i) {
                const auto begin = Clock::now();
                if (bridge.GetCOS(line) == 0)
                    ++failed;
                samples[size_t(t)].push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    for (const auto& s : samples)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    std::printf("GetCOS round trip, %d telephony thread(s) x %d calls: p50 %.0f us, p99 %.0f us, max %.0f us, "
                "%.0f calls/s, %d failed\n",
                threads, perThread, percentile(all, 0.50), percentile(all, 0.99), all.back(),
                double(all.size()) / seconds, failed.load());
}

} // namespace

// Round trips against a control server that is already running, such as the simulated exchange.
static int againstServer(const QStringList& args)
{
    int calls = 2000;
    QStringList rest = args;
    const int at = rest.indexOf(QStringLiteral("--calls"));
    if (at >= 0 && at + 1 < rest.size()) {
        calls = rest.at(at + 1).toInt();
        rest.remove(at, 2);
    }
    if (rest.size() < 4) {
        std::fprintf(stderr, "usage: norcom_bench --server HOST:PORT USER PASSWORD LINE... [--calls N]\n");
        return 2;
    }
    CBSrvSettings settings;
    settings.Server = rest.at(0);
    settings.Username = rest.at(1);
    settings.NorvelPassword = rest.at(2);
    for (int i = 3; i < rest.size(); ++i)
        settings.sipRegistrations.push_back(SipRegistration{rest.at(i).toStdString(), "", ""});
    Counter counter;
    auto bridge = std::make_unique<NorCOMCallback>();
    std::unique_ptr<NorvelComLib::NorCom> component(bridge->component());
    bridge->SetSettings(&settings);
    bridge->eventsReceiver = &counter;
    bridge->Initialize();
    // Each opened line's current state is reported at once.
    (void)QTest::qWaitFor([&] { return counter.count >= long(settings.sipRegistrations.size()); }, 2000);
    std::printf("first free line %s, %ld state reports\n", bridge->GetFreeSipLine().c_str(), counter.count.load());
    for (const SipRegistration& line : settings.sipRegistrations)
        std::printf("line %s: class of service %d\n", line.login.c_str(), bridge->GetCOS(line.login));
    std::string number = "+7 (495) 123-45-67";
    bridge->ToDialable(number);
    std::printf("dialable form of +7 (495) 123-45-67: %s\n", number.c_str());
    std::vector<std::string> names;
    for (const SipRegistration& line : settings.sipRegistrations)
        if (bridge->GetCOS(line.login) != 0)
            names.push_back(line.login);
    if (names.empty()) {
        std::fprintf(stderr, "no line with a class of service to ask for\n");
        return 1;
    }
    roundTrips(*bridge, names, 1, calls);
    roundTrips(*bridge, names, 4, calls / 4);
    bridge.reset();
    component.reset();
    return 0;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    RoutePlatformLogToFacility();
    RegisterNorComComponent();
    QStringList args = QCoreApplication::arguments().mid(1);
    if (!args.isEmpty() && args.first() == QLatin1String("--server"))
        return againstServer(args.mid(1));
    const int perThread = args.size() > 0 ? args.at(0).toInt() : 5000;
    const int events = args.size() > 1 ? args.at(1).toInt() : 100000;
    TestControlServer server;
    for (int i = 1; i <= 4; ++i)
        server.addLine("40" + std::to_string(i), i, 10 + i);
    if (!server.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    CBSrvSettings settings;
    settings.Server = QString::fromStdString(server.address());
    settings.Username = QStringLiteral("norvel");
    settings.NorvelPassword = QStringLiteral("secret");
    for (int i = 1; i <= 4; ++i)
        settings.sipRegistrations.push_back(SipRegistration{"40" + std::to_string(i), "", ""});
    Counter counter;
    auto bridge = std::make_unique<NorCOMCallback>();
    std::unique_ptr<NorvelComLib::NorCom> component(bridge->component());
    bridge->SetSettings(&settings);
    bridge->eventsReceiver = &counter;
    bridge->Initialize();
    if (!QTest::qWaitFor([&] { return counter.count == 4; })) {
        std::fprintf(stderr, "the bridge did not open its lines\n");
        return 1;
    }
    counter.count = 0;

    const std::vector<std::string> names{"401", "402", "403", "404"};
    roundTrips(*bridge, names, 1, perThread);
    roundTrips(*bridge, names, 4, perThread / 4);

    // The server writes every event in one go; the clock runs until the slot has seen the last one.
    std::string burst;
    for (int i = 0; i < events; ++i)
        burst += "{\"jsonrpc\":\"2.0\",\"method\":\"callStateChanged\",\"params\":{\"line\":" + std::to_string(1 + i % 4) +
                 ",\"call\":" + std::to_string(i) + ",\"state\":" + (i % 8 < 4 ? "1" : "0") + "}}\n";
    const auto start = Clock::now();
    std::thread sender([&] { server.sendRaw(burst); });
    const bool all = QTest::qWaitFor([&] { return counter.count == events; }, 120000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    std::printf("State events delivered to the slot: %ld of %d in %.3f s, %.0f events/s\n", counter.count.load(),
                events, seconds, double(counter.count.load()) / seconds);

    bridge.reset();
    component.reset();
    return all ? 0 : 1;
}
