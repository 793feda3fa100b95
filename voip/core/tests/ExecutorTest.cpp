// The call model's executor: workers on demand that go again, strands, timers.
#include "voip/core/Executor.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

namespace voip {
namespace {

using namespace std::chrono_literals;

TEST(ExecutorRun, WorkersGrowWhileTasksSleepThenGoAndStrandsKeepOrder)
{
    Executor scheduler(100ms);
    std::atomic<int> started{0};
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    for (int i = 0; i < 20; ++i)
        scheduler.Post([&] {
            ++started;
            open.wait();
        });
    EXPECT_TRUE(testsupport::WaitFor([&] { return started == 20; }, 5s, 5ms)) << "twenty sleeping tasks run at once";
    EXPECT_GE(scheduler.Workers(), 20u);
    gate.set_value();
    // Idle workers go again, down to the few kept.
    EXPECT_TRUE(testsupport::WaitFor([&] { return scheduler.Workers() == Executor::kKeptWorkers; }));

    auto strand = std::make_shared<Strand>(scheduler);
    std::mutex m;
    std::vector<int> order;
    std::promise<void> done;
    for (int i = 0; i < 200; ++i)
        strand->Post([&, i] {
            std::lock_guard<std::mutex> lock(m);
            order.push_back(i);
            if (i == 199)
                done.set_value();
        });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[static_cast<size_t>(i)], i);

    std::promise<int> fired;
    uint64_t cancelled = scheduler.After(20, [&] { fired.set_value(1); });
    scheduler.Cancel(cancelled);
    scheduler.After(30, [&] { fired.set_value(2); });
    auto f = fired.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), 2);
}

TEST(ExecutorRun, TasksDroppedAtDestructionMayStillUseIt)
{
    // A task never run holds something whose destruction cancels a timer of the same scheduler.
    auto scheduler = std::make_unique<Executor>();
    Executor* raw = scheduler.get();
    struct CancelsOnDestruction
    {
        Executor* s;
        ~CancelsOnDestruction() { s->Cancel(1); }
    };
    auto holder = std::make_shared<CancelsOnDestruction>(CancelsOnDestruction{raw});
    raw->After(60000, [holder] {});
    holder.reset();
    auto finished = std::async(std::launch::async, [&] { scheduler.reset(); });
    EXPECT_EQ(finished.wait_for(10s), std::future_status::ready);
}

} // namespace
} // namespace voip
