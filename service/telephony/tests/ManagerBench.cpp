// Incoming calls into the manager at rising rates: SIPp calls line "ivr", every caller one of
// 100,000 subscribers in a fresh database on the private Firebird server; each call is checked,
// logged, queued and hears the welcome. Prints per rate the calls that went through, INVITE->200
// p50/p99, and where the time of an incoming call goes (database, logic, the prompt's pause).
//
//   tests/fbserver.sh start DIR && . DIR/env && build/bin/manager_bench [rates, default 10,25,50,100,200]
//   [--no-index]
// --no-index drops the schema's index on USERS.CALLERID, to show what it saves.
#include "service/core/CallBackQueue.h"
#include "service/core/DBBackend.h"
#include "service/core/INorCOMService.h"
#include "service/telephony/MyManager.h"
#include "service/telephony/MySIPEndPoint.h"
#include "tests/support/TestSettings.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include "common/Logging.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSubscribers = 100000;
constexpr int kSecondsPerRate = 5;

long long Since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

// The database access with the time its operations take added up.
class TimedDatabase : public IDBBackend
{
public:
    std::atomic<long long> micros{0};

private:
    template <class F> auto Timed(F f) -> decltype(f())
    {
        const auto start = Clock::now();
        auto result = f();
        micros += Since(start);
        return result;
    }

public:
    explicit TimedDatabase(IDBBackend& inner) : db(inner) {}
    virtual ~TimedDatabase() = default;
    bool CheckCallerId(const std::string& c) override
    {
        return Timed([&] { return db.CheckCallerId(c); });
    }
    bool CheckPin(const std::string& c, const std::string& p) override
    {
        return Timed([&] { return db.CheckPin(c, p); });
    }
    int GetTransferCOS(const std::string& c) override
    {
        return Timed([&] { return db.GetTransferCOS(c); });
    }
    bool checkDialedNumber(const std::string& c, const std::string& n) override
    {
        return Timed([&] { return db.checkDialedNumber(c, n); });
    }
    void SaveIncomingCall(const std::string& c, int uid, int result, const std::string& dest,
                          int& id) override
    {
        Timed([&] {
            db.SaveIncomingCall(c, uid, result, dest, id);
            return 0;
        });
    }
    int GetUID(const std::string& c) override
    {
        return Timed([&] { return db.GetUID(c); });
    }

private:
    IDBBackend& db;
};

class Lines : public INorCOMService
{
public:
    virtual ~Lines() = default;
    int GetCOS(const std::string&) override { return 0; }
    void SetCOS(const std::string&, int) override {}
    void ToDialable(std::string&) override {}
    std::string GetFreeSipLine() override { return {}; }
};

class BenchManager : public MyManager
{
public:
    ~BenchManager() override
    {
        StopCallBacks();
        ShutDownEndpoints();
    }
    void OnIncommingCalls(const std::vector<IncomingCall>& calls) override
    {
        const auto start = Clock::now();
        MyManager::OnIncommingCalls(calls);
        incomingMicros += Since(start);
        incoming += int(calls.size());
    }
    void PlayOGMIncommingSuccess(void* call) override
    {
        const auto start = Clock::now();
        MyManager::PlayOGMIncommingSuccess(call);
        playMicros += Since(start);
        ++welcomed;
    }
    void MakeCallBack(const std::string&) override {} // incoming calls only
    std::atomic<long long> incomingMicros{0}, playMicros{0};
    std::atomic<int> incoming{0}, welcomed{0};
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<int> rates = {10, 25, 50, 100, 200};
    const bool index = !(argc > 2 && std::string(argv[2]) == "--no-index");
    if (argc > 1) {
        rates.clear();
        std::stringstream s(argv[1]);
        for (std::string r; std::getline(s, r, ',');)
            rates.push_back(std::stoi(r));
    }
    SetLogConsoleOutput(false);
    SetLogFile("/dev/null");
    SetLogSeverity(Notice);

    TestDatabase db;
    {
        QSqlQuery q(db.db());
        const auto start = Clock::now();
        // Caller IDs 1 .. 100000, the numbers SIPp gives its calls.
        if (!q.exec(
                "EXECUTE BLOCK AS DECLARE i INTEGER = 1; BEGIN WHILE (i <= " + QString::number(kSubscribers) +
                ") DO BEGIN INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (:i, :i, "
                "'1234', 1, "
                "'S', 1); i = i + 1; END END")) {
            std::fprintf(stderr, "filling: %s\n", q.lastError().text().toStdString().c_str());
            return 1;
        }
        std::printf("%d subscribers in %.1f s\n", kSubscribers, Since(start) / 1e6);
        if (!index && !q.exec("DROP INDEX IDX_USERS_CALLERID")) {
            std::fprintf(stderr, "index: %s\n", q.lastError().text().toStdString().c_str());
            return 1;
        }
        std::printf(index ? "schema as it is (index on USERS.CALLERID)\n"
                          : "without the index on USERS.CALLERID\n");
    }

    CBSrvSettings settings = TestSettings(db.server());
    settings.LocalAddress = QStringLiteral("127.0.0.1");
    settings.MaxNumbersInQueue = 1000000;
    settings.MaxCallBackTries = 1;
    settings.EnterPinTimer = 10;
    settings.EnterPinMaxTries = 3;
    settings.EnterNumberTimer = 10;
    settings.sipRegistrations = {{"ivr", "x", "127.0.0.1:9"}};
    settings.TrustedPeers = {QStringLiteral("127.0.0.1")}; // SIPp calls the line directly
    DBBackend backend(db.path());
    backend.SetSettings(&settings);
    backend.OpenDatabase();
    TimedDatabase timed(backend);
    CallBackQueue queue;
    queue.SetSettings(&settings);
    Lines lines;

    BenchManager manager;
    manager.SetSettings(&settings);
    manager.SetDBBackend(&timed);
    manager.SetCallBackQueue(&queue);
    manager.SetNorCOMService(&lines);
    const int port = testsupport::FreeUdpPort();
    settings.ListenAddress = QString::fromStdString("127.0.0.1:" + std::to_string(port));
    manager.Initialize();
    if (!manager.SipEndPoint()->IsListening()) {
        std::fprintf(stderr, "the SIP listener did not start\n");
        return 1;
    }
    manager.SipEndPoint()->SetMediaTimeout(std::chrono::seconds(120));

    std::printf(
        "rate/s  calls  ok  failed  INVITE->200 ms p50  p99   per call ms: database  logic  prompt pause\n");
    int best = 0;
    for (int rate : rates) {
        const int calls = rate * kSecondsPerRate;
        const long long db0 = timed.micros, in0 = manager.incomingMicros, play0 = manager.playMicros;
        const int n0 = manager.incoming;
        voip::SippProcess sipp;
        sipp.MakeFolder();
        sipp.Start({"127.0.0.1:" + std::to_string(port),
                    "-sf",
                    voip::Scenario("ivr_bench_caller"),
                    "-r",
                    std::to_string(rate),
                    "-m",
                    std::to_string(calls),
                    "-l",
                    std::to_string(rate * 12),
                    "-trace_rtt",
                    "-rtt_freq",
                    "1",
                    "-trace_stat",
                    "-fd",
                    "1",
                    "-timeout",
                    std::to_string(kSecondsPerRate + 90) + "s",
                    "-timeout_error"});
        sipp.Wait(std::chrono::seconds(kSecondsPerRate + 120));
        const voip::SippProcess::Results results = sipp.Statistics();
        const int ok = results.successful, failed = results.failed;
        const std::vector<double>& latencies = results.latenciesMs;
        const int n = std::max(1, manager.incoming - n0);
        const double dbMs = (timed.micros - db0) / 1000.0 / n;
        const double playMs = (manager.playMicros - play0) / 1000.0 / n;
        const double logicMs = (manager.incomingMicros - in0) / 1000.0 / n - dbMs - playMs;
        std::printf("%6d  %5d  %4d  %6d  %17.1f  %5.1f   %20.2f  %5.2f  %12.0f\n", rate, calls, ok, failed,
                    Percentile(latencies, 0.5), Percentile(latencies, 0.99), dbMs, logicMs, playMs);
        std::fflush(stdout);
        if (failed > 0 || ok < calls)
            break;
        best = rate;
        // Let the calls still held end before the next rate.
        testsupport::WaitFor([&] { return manager.GetCallCount() == 0; }, std::chrono::seconds(30),
                             std::chrono::milliseconds(100));
    }
    std::printf("highest rate without a failed call: %d/s\n", best);
    return 0;
}
