// How long the service waits for its database when the server is gone: prints, for a server that is down
// (nothing listens, connections are refused) and for a host that drops packets (a port that takes the
// connection and never answers), how long the start's OpenDatabase takes and how long each of four
// callers asking at once waits for its answer. With a test Firebird server (SELV_FB_* from
// tests/fbserver.sh, or the ctest fixture's env file), also how long callers wait when the host stops
// answering under a connection already open, in the middle of a statement.
//
//   build/bin/db_wait_bench [limit seconds, default 600]
//
// Each run ends at the limit; a wait still running then is printed as "> the time it had waited" and the
// program ends without waiting for it.
#include "common/Logging.h"
#include "service/core/DBBackend.h"
#include "service/core/tests/SilentHost.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestSettings.h"

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs jobs on threads of their own and collects how long each took, giving up at a deadline.
class Waits
{
public:
    explicit Waits(Clock::time_point deadline) : deadline_(deadline) {}

    void Run(std::vector<std::function<void()>> jobs)
    {
        started_ = Clock::now();
        auto state = std::make_shared<State>();
        state->seconds.assign(jobs.size(), -1);
        for (std::size_t i = 0; i < jobs.size(); ++i)
            std::thread([state, i, job = std::move(jobs[i])] {
                const auto start = Clock::now();
                job();
                std::lock_guard<std::mutex> guard(state->mutex);
                state->seconds[i] = std::chrono::duration<double>(Clock::now() - start).count();
                state->done.notify_all();
            }).detach();
        std::unique_lock<std::mutex> guard(state->mutex);
        state->done.wait_until(guard, deadline_, [&] {
            for (double s : state->seconds)
                if (s < 0)
                    return false;
            return true;
        });
        seconds_ = state->seconds;
    }

    bool Finished() const
    {
        for (double s : seconds_)
            if (s < 0)
                return false;
        return true;
    }

    // A wait still running at the deadline is printed as "> how long it had waited by then".
    void Print(const char* what) const
    {
        const double cut = std::chrono::duration<double>(deadline_ - started_).count();
        std::printf("  %-34s", what);
        for (double s : seconds_)
            s < 0 ? std::printf(" > %.0f s", cut) : std::printf(" %7.2f s", s);
        std::printf("\n");
        std::fflush(stdout);
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable done;
        std::vector<double> seconds;
    };
    Clock::time_point deadline_;
    Clock::time_point started_;
    std::vector<double> seconds_;
};

// False when a wait ran past the limit: the backend is still busy and cannot be used further.
// One caller, then four at once (caller checks and blacklist checks); false when a wait ran past
// the deadline.
bool OneCallerThenFour(DBBackend* backend, Clock::time_point deadline)
{
    Waits one(deadline);
    one.Run({[backend] { backend->CheckCallerId("100"); }});
    one.Print("one caller");
    if (!one.Finished())
        return false;
    Waits four(deadline);
    std::vector<std::function<void()>> callers;
    for (int i = 0; i < 4; ++i)
        callers.push_back([backend, i] {
            if (i % 2)
                backend->checkDialedNumber("100", "112");
            else
                backend->CheckCallerId("100");
        });
    four.Run(callers);
    four.Print("four callers at once");
    return four.Finished();
}

bool Scenario(const char* title, int port, double limit)
{
    std::printf("%s (127.0.0.1 port %d)\n", title, port);
    FbServerEnv server;
    server.port = port;
    auto settings = std::make_unique<CBSrvSettings>(TestSettings(server));
    auto owner = std::make_unique<DBBackend>();
    DBBackend* backend = owner.get();
    backend->SetSettings(settings.get());
    // Both left alive when a wait overruns: a thread may still be inside the backend.
    auto overrun = [&] {
        (void)owner.release();
        (void)settings.release();
        return false;
    };
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));

    Waits start(deadline);
    start.Run({[backend] { backend->OpenDatabase(); }});
    start.Print("start (OpenDatabase)");
    if (!start.Finished())
        return overrun();
    if (!OneCallerThenFour(backend, deadline))
        return overrun();
    return true;
}

// The host stops answering while the connection is open: one caller, then four at once.
bool HeldStatement(double limit)
{
    const char* title = "Host stops answering under an open connection";
    std::unique_ptr<TestDatabase> database;
    try {
        database = std::make_unique<TestDatabase>();
    } catch (const std::exception& e) {
        std::printf("%s: skipped, no test server (%s)\n", title, e.what());
        return true;
    }
    try {
        database->exec(
            QStringLiteral("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '100', '1', 1, 'A', 1)"));
    } catch (const std::exception& e) {
        std::printf("%s: %s\n", title, e.what());
        return false;
    }
    auto host = std::make_unique<SilentHost>(database->server().port);
    std::printf("%s (127.0.0.1 port %d, relaying to the test server)\n", title, host->port);
    auto settings = std::make_unique<CBSrvSettings>(TestSettings(database->server()));
    settings->DatabasePort = host->port;
    auto owner = std::make_unique<DBBackend>(database->path());
    DBBackend* backend = owner.get();
    backend->SetSettings(settings.get());
    backend->OpenDatabase();
    if (!backend->CheckCallerId("100")) {
        std::printf("  the database cannot be reached through the host\n");
        return false;
    }
    // All left alive when a wait overruns: a thread is still in a statement through the host.
    auto overrun = [&] {
        (void)owner.release();
        (void)settings.release();
        (void)host.release();
        (void)database.release();
        return false;
    };
    host->FallSilent();
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));
    if (!OneCallerThenFour(backend, deadline))
        return overrun();
    host->Answer();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double limit = argc > 1 ? std::atof(argv[1]) : 600;
    SetLogConsoleOutput(false);
    SetLogFile("/dev/null");
    bool finished = Scenario("Server down, connections refused", testsupport::FreeTcpPort(), limit);
    // Listening but never accepting: the kernel completes the handshake, nobody answers.
    const testsupport::TcpListener silent;
    finished = Scenario("Host drops packets, nothing answers", silent.Port(), limit) && finished;
    finished = HeldStatement(limit) && finished;
    std::fflush(stdout);
    // Threads still waiting inside the client library cannot be stopped: leave without them.
    std::_Exit(finished ? 0 : 2);
}
