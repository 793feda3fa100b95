// Latency of the service's database work with 100,000 subscribers and 1,000 blacklist patterns, on the
// test Firebird server (SELV_FB_* from tests/fbserver.sh), in a database built from the schema table as
// the console builds it. Each operation runs many times; the median, the 99th percentile and the
// maximum are printed. "incoming call" is the whole database work of one incoming call as the callback
// logic does it: the caller check, the subscriber ID, and the log row with its commit; "incoming calls"
// is the same as the logic does it now, for one call alone and for eight that came in together.
//
//   fbdir=$(mktemp -d); tests/fbserver.sh start $fbdir; . $fbdir/env
//   ninja -C build db_bench && build/bin/db_bench [calls]     # calls per operation, default 400
//   tests/fbserver.sh stop $fbdir
#include "common/Logging.h"
#include "service/core/DBBackend.h"
#include "tests/support/TestSettings.h"

#include <QCoreApplication>
#include <QSqlQuery>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kSubscribers = 100000;
constexpr int kPatterns = 1000;

using Clock = std::chrono::steady_clock;

struct World
{
    TestDatabase t{TestDatabase::FullSchema};
    CBSrvSettings settings;
    std::unique_ptr<DBBackend> backend;

    World()
    {
        t.exec(QStringLiteral("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < %1) DO BEGIN "
                              "INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES "
                              "('79' || LPAD(:i, 9, '0'), '1234', 1, 'Subscriber ' || :i, 1); i = i + 1; END END")
                   .arg(kSubscribers));
        // Patterns that never match the dialled number below, so every one is tried.
        t.exec(QStringLiteral("EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < %1) DO BEGIN "
                              "INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, '8' || LPAD(:i, 4, '0') || '[0-9]*'); "
                              "i = i + 1; END END")
                   .arg(kPatterns));
        settings = TestSettings(t.server());
        backend = std::make_unique<DBBackend>(t.path());
        backend->SetSettings(&settings);
        backend->OpenDatabase();
    }
    int indices()
    {
        QSqlQuery query(t.db());
        query.exec("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$RELATION_NAME='USERS' AND RDB$INDEX_NAME NOT STARTING "
                   "WITH 'RDB$'");
        return query.next() ? query.value(0).toInt() : -1;
    }
};

// A caller spread over the table, so no lookup profits from the last one's pages more than a real one would.
std::string Caller(int i)
{
    char text[16];
    std::snprintf(text, sizeof text, "79%09d", (i * 7919) % kSubscribers);
    return text;
}

// per: calls each run of body stands for; the figures are per call.
void Measure(const char* name, int calls, const std::function<void(int)>& body, int per = 1)
{
    body(0); // warm the statement cache
    std::vector<double> ms;
    ms.reserve(size_t(calls));
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        body(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() / per);
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&ms](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    std::printf("  %-34s p50 %8.3f ms   p99 %8.3f ms   max %8.3f ms   (n=%d)\n", name, at(0.5), at(0.99), ms.back(),
                calls);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SetLogConsoleOutput(false);
    SetLogFile("/dev/null");
    int calls = 400;
    if (argc > 1 && (calls = std::atoi(argv[1])) <= 0) {
        std::fprintf(stderr, "usage: %s [calls per operation]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<World> world;
    try {
        world = std::make_unique<World>();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "db_bench: %s\n", e.what());
        return 1;
    }
    DBBackend& db = *world->backend;
    std::printf("db_bench: %d subscribers, %d blacklist patterns, indices of our own on USERS: %d\n", kSubscribers,
                kPatterns, world->indices());

    Measure("CheckCallerId", calls, [&](int i) { db.CheckCallerId(Caller(i)); });
    Measure("CheckPin", calls, [&](int i) { db.CheckPin(Caller(i), "1234"); });
    Measure("GetUID", calls, [&](int i) { db.GetUID(Caller(i)); });
    Measure("CheckCallerId (unknown caller)", calls, [&](int) { db.CheckCallerId("123"); });
    Measure("checkDialedNumber, 1000 patterns", calls, [&](int) { db.checkDialedNumber(Caller(0), "89161234567"); });
    Measure("SaveIncomingCall (row + commit)", calls, [&](int i) {
        int id = -1;
        db.SaveIncomingCall(Caller(i), 1 + i % kSubscribers, 1, Caller(i), id);
    });
    Measure("incoming call (check, UID, row)", calls, [&](int i) {
        const std::string caller = Caller(i + 1);
        int uid = -1, id = -1;
        if (db.CheckCallerId(caller))
            uid = db.GetUID(caller);
        db.SaveIncomingCall(caller, uid, uid >= 0 ? 1 : 0, caller, id);
    });
    // As the logic takes the calls that came in together: one operation for the checks, one for the rows.
    for (const int together : {1, 8}) {
        const std::string name = "incoming calls, " + std::to_string(together) + " together, per call";
        Measure(name.c_str(), calls / together, [&](int i) {
            std::vector<IDBBackend::IncomingCaller> callers;
            for (int k = 0; k < together; ++k)
                callers.push_back({Caller(1 + i * together + k)});
            db.CheckCallers(callers, false);
            std::vector<IDBBackend::IncomingRow> rows;
            for (const auto& c : callers)
                rows.push_back({c.callerId, c.uid, c.known ? 1 : 0, c.callerId});
            db.SaveIncomingCalls(rows);
        }, together);
    }
    return 0;
}
