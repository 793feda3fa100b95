#include "service/core/CallBackQueue.h"
#include "service/core/CBSrvSettings.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

class CallBackQueueTest : public ::testing::Test
{
protected:
    void SetUp() override { queue.SetSettings(&settings); }

    std::vector<std::string> drain()
    {
        std::vector<std::string> out;
        for (std::string n = queue.Dequeue(); !n.empty(); n = queue.Dequeue())
            out.push_back(n);
        return out;
    }

    LogCapture log;
    CBSrvSettings settings;
    CallBackQueue queue;
};

TEST_F(CallBackQueueTest, KeepsArrivalOrderAndIgnoresEmptyNumbers)
{
    queue.PutInQueue("101");
    queue.PutInQueue("");
    queue.PutInQueue("102");
    EXPECT_EQ(queue.GetLength(), 2);
    EXPECT_TRUE(log.contains("Debug: CallBackQueue got empty number to queue, exiting"));
    EXPECT_TRUE(log.contains("Informational: CallBackQueue put call in queue callerid=102"));
    EXPECT_EQ(drain(), (std::vector<std::string>{"101", "102"}));
    EXPECT_EQ(queue.Dequeue(), "");
}

// A number is queued once, whether it waits or is being called: one callback answers both requests.
TEST_F(CallBackQueueTest, NumberWaitingOrBeingCalledIsNotQueuedAgain)
{
    queue.PutInQueue("101");
    queue.PutInQueue("102");
    queue.PutInQueue("101"); // still waiting
    EXPECT_EQ(queue.GetLength(), 2);
    EXPECT_TRUE(log.contains("Informational: CallBackQueue already waiting to call to callerid=101"));
    EXPECT_EQ(queue.Dequeue(), "101");
    queue.PutInQueue("101"); // now being called
    EXPECT_EQ(queue.GetLength(), 1);
    EXPECT_TRUE(log.contains("Informational: CallBackQueue already trying to call to callerid=101"));
    queue.OnNoFreeLines("101"); // waits again while active: still not queued twice
    queue.PutInQueue("101");
    EXPECT_EQ(queue.GetLength(), 2);
    queue.OnCallBackEnded("101");
    EXPECT_EQ(drain(), (std::vector<std::string>{"102", "101"}));
}

// A locked out number leaves the queue: its waiting request goes, from the persisted queue too, and
// the others keep their order.
TEST_F(CallBackQueueTest, DroppedNumberLeavesTheQueueAndItsJournal)
{
    struct GoneIds final : IQueueJournal
    {
        void Queued(int, int) override {}
        void BackInLine(int, int) override {}
        void Gone(int id) override { ids.push_back(id); }
        std::vector<int> ids;
    } journal;
    queue.SetJournal(&journal);
    queue.PutInQueue("101", 1, 11);
    queue.PutInQueue("102", 2, 12);
    queue.PutInQueue("103", 3, 13);
    EXPECT_EQ(queue.DropWaiting("102"), 1);
    EXPECT_EQ(queue.DropWaiting("102"), 0);
    EXPECT_EQ(journal.ids, std::vector<int>{2});
    queue.SetJournal(nullptr);
    EXPECT_EQ(drain(), (std::vector<std::string>{"101", "103"}));
}

TEST_F(CallBackQueueTest, FailedCallbacksAreRetriedUpToTheLimit)
{
    settings.MaxCallBackTries = 2;
    queue.PutInQueue("101");
    queue.PutInQueue("102");
    ASSERT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackFailed("101"); // tries 1: goes behind 102
    EXPECT_EQ(queue.Dequeue(), "102");
    ASSERT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackFailed("101"); // tries 2: given up
    EXPECT_EQ(queue.GetLength(), 0);
    EXPECT_TRUE(log.contains("Warning: Exceeded number of callback tryes 2 to number 101"));
    // Given up means no longer active either: a new call queues it afresh.
    queue.PutInQueue("101");
    EXPECT_EQ(queue.GetLength(), 1);
}

TEST_F(CallBackQueueTest, LimitOfOneOrLessGivesUpOnFirstFailure)
{
    for (int limit : {1, 0, -3}) {
        settings.MaxCallBackTries = limit;
        queue.PutInQueue("101");
        ASSERT_EQ(queue.Dequeue(), "101");
        queue.OnCallBackFailed("101");
        EXPECT_EQ(queue.GetLength(), 0) << "limit " << limit;
    }
}

TEST_F(CallBackQueueTest, NoFreeLinesNeverGivesUpAndKeepsTries)
{
    settings.MaxCallBackTries = 2;
    queue.PutInQueue("101");
    ASSERT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackFailed("101"); // tries 1
    ASSERT_EQ(queue.Dequeue(), "101");
    for (int i = 0; i < 10; ++i) {
        queue.PutInQueue("20" + std::to_string(i)); // others arrive meanwhile
        queue.OnNoFreeLines("101");
        EXPECT_EQ(drain().back(), "101") << "a re-queued number goes behind those already waiting";
    }
    queue.PutInQueue("101"); // still active while waiting for a line
    EXPECT_EQ(queue.GetLength(), 0);
    queue.OnNoFreeLines("101");
    ASSERT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackFailed("101"); // second failure: tries survived the line shortage
    EXPECT_EQ(queue.GetLength(), 0);
    EXPECT_TRUE(log.contains("Warning: Exceeded number of callback tryes 2 to number 101"));
}

TEST_F(CallBackQueueTest, ReportsForInactiveNumbersChangeNothing)
{
    queue.PutInQueue("101");
    queue.OnCallBackSucceed("999");
    queue.OnCallBackEnded("999");
    EXPECT_EQ(queue.GetLength(), 1);
    EXPECT_TRUE(log.contains("Debug: CallBackQueue::OnCallBackSucceed number=999"));
    EXPECT_TRUE(log.contains("Debug: CallBackQueue::OnCallBackEnded number=999"));
    ASSERT_EQ(queue.Dequeue(), "101");
    queue.OnCallBackSucceed("101");
    queue.PutInQueue("101"); // answered: no longer being called
    EXPECT_EQ(queue.GetLength(), 1);
}

} // namespace
