// Cost of a filtered-out call and of a written line, single- and multi-threaded.
#include "common/Logging.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void setup(int ceiling)
{
    SetLogConsoleOutput(false);
    SetLogFile("/tmp/selvane_logging_bench.txt");
    logging_detail::g_ceiling = ceiling;
}

void BM_FilteredOut(benchmark::State& state)
{
    if (state.thread_index() == 0)
        setup(Notice);
    std::string number = "89161234567";
    for (auto _ : state)
        Log(Debug, "CallBackQueue::OnCallBackFailed number=", number, " tries=", 3);
}
BENCHMARK(BM_FilteredOut)->Threads(1)->Threads(4);

void BM_Written(benchmark::State& state)
{
    if (state.thread_index() == 0)
        setup(Debug);
    std::string number = "89161234567";
    for (auto _ : state)
        Log(Notice, "CallBackQueue::OnCallBackFailed number=", number, " tries=", 3);
    if (state.thread_index() == 0)
        std::remove("/tmp/selvane_logging_bench.txt");
}
BENCHMARK(BM_Written)->Threads(1)->Threads(4)->UseRealTime();

} // namespace
