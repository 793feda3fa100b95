// Latency of the service's database operations with 100,000 subscribers and 1,000 blacklist patterns,
// on the test Firebird server (SELV_FB_* from tests/fbserver.sh). The "/callerid_index" runs repeat the
// lookups after an index on USERS.CALLERID is added to this benchmark's own database, to show what the
// schema's missing index costs; the schema itself is not changed.
#include "common/Logging.h"
#include "service/core/DBBackend.h"
#include "service/host/CBSrvSettings.h"
#include "tests/support/TestDatabase.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

constexpr int kSubscribers = 100000;
constexpr int kPatterns = 1000;

struct World
{
    TestDatabase t{TestDatabase::FullSchema};
    CBSrvSettings settings;
    std::unique_ptr<DBBackend> backend;
    bool indexed = false;

    void exec(const QString& sql)
    {
        QSqlQuery query(t.db());
        if (!query.exec(sql))
            throw std::runtime_error((sql + ": " + query.lastError().text()).toStdString());
    }
    World()
    {
        exec(QStringLiteral("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < %1) DO BEGIN "
                            "INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES "
                            "('79' || LPAD(:i, 9, '0'), '1234', 1, 'Subscriber ' || :i, 1); i = i + 1; END END")
                 .arg(kSubscribers));
        // Patterns that never match the dialled number below, so every one is tried.
        exec(QStringLiteral("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < %1) DO BEGIN "
                            "INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '8' || LPAD(:i, 4, '0') || '[0-9]*'); "
                            "i = i + 1; END END")
                 .arg(kPatterns));
        settings.DriverName = QStringLiteral("QIBASE");
        settings.HostName = t.server().host;
        settings.DatabasePort = t.server().port;
        settings.UserName = t.server().user;
        settings.Password = t.server().password;
        backend = std::make_unique<DBBackend>(t.path());
        backend->SetSettings(&settings);
        backend->OpenDatabase();
    }
    void index()
    {
        if (!indexed)
            exec(QStringLiteral("CREATE INDEX BENCH_USERS_CALLERID ON USERS (CALLERID)"));
        indexed = true;
    }
};

World* world = nullptr;
const std::string kCaller = "79000050000"; // in the middle of the table
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SetLogConsoleOutput(false);
    SetLogFile("/dev/null");
    std::unique_ptr<World> owner;
    try {
        owner = std::make_unique<World>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "db_bench: %s\n", e.what());
        return 1;
    }
    world = owner.get();

    for (bool indexed : {false, true}) {
        const std::string suffix = indexed ? "/callerid_index" : "";
        auto add = [&](const std::string& name, auto body) {
            benchmark::RegisterBenchmark((name + suffix).c_str(), [indexed, body](benchmark::State& state) {
                if (indexed)
                    world->index();
                body(state);
            })->Unit(benchmark::kMicrosecond);
        };
        add("CheckCallerId", [](benchmark::State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(world->backend->CheckCallerId(kCaller));
        });
        add("CheckPin", [](benchmark::State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(world->backend->CheckPin(kCaller, "1234"));
        });
        add("GetUID", [](benchmark::State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(world->backend->GetUID(kCaller));
        });
        if (indexed)
            continue;
        add("checkDialedNumber/1000_patterns", [](benchmark::State& state) {
            for (auto _ : state)
                benchmark::DoNotOptimize(world->backend->checkDialedNumber(kCaller, "89161234567"));
        });
        add("SaveIncomingCall", [](benchmark::State& state) {
            for (auto _ : state) {
                int id = -1;
                world->backend->SaveIncomingCall(kCaller, 50001, 1, "89161234567", id);
                benchmark::DoNotOptimize(id);
            }
        });
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
