#include "service/core/CallBackLogic.h"
#include "service/core/CallBackQueue.h"
#include "service/core/IDBBackend.h"
#include "service/core/INorCOMService.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Wait.h"
#include "service/core/CBSrvSettings.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>
#include <set>

namespace {

using Journal = std::vector<std::string>;

struct Subscriber
{
    int id;
    std::string pin;
};

class FakeDB final : public IDBBackend
{
public:
    explicit FakeDB(Journal& j) : journal(j) {}
    bool CheckCallerId(const std::string& cid) override { return subscribers.count(cid) > 0; }
    bool CheckPin(const std::string& cid, const std::string& pin) override
    {
        auto it = subscribers.find(cid);
        return it != subscribers.end() && it->second.pin == pin;
    }
    int GetTransferCOS(const std::string&) override { return 1; }
    bool checkDialedNumber(const std::string&, const std::string& number) override
    {
        return blacklist.count(number) == 0;
    }
    void SaveIncomingCall(const std::string& cid, int uid, int result, const std::string& dest, int& id) override
    {
        journal.push_back("save " + cid + " uid=" + std::to_string(uid) + " result=" + std::to_string(result) +
                          " dest=" + dest);
        id = ++lastId;
    }
    int GetUID(const std::string& cid) override
    {
        auto it = subscribers.find(cid);
        return it == subscribers.end() ? -1 : it->second.id;
    }

    Journal& journal;
    std::map<std::string, Subscriber> subscribers;
    std::set<std::string> blacklist;
    int lastId = 0;
};

// The exchange's dialable form: an international "+7" prefix becomes the trunk prefix "8".
class FakeLines final : public INorCOMService
{
public:
    explicit FakeLines(Journal& j) : journal(j) {}
    int GetCOS(const std::string& line) override { return cos[line]; }
    void SetCOS(const std::string& line, int value) override
    {
        journal.push_back("SetCOS " + line + " " + std::to_string(value));
        cos[line] = value;
    }
    void ToDialable(std::string& number) override
    {
        if (number.rfind("+7", 0) == 0)
            number = "8" + number.substr(2);
    }
    std::string GetFreeSipLine() override { return "line1"; }

    Journal& journal;
    std::map<std::string, int> cos;
};

class TestLogic final : public CallBackLogic
{
public:
    explicit TestLogic(Journal& j) : journal(j) {}
    void PlayOGMIncommingSuccess(void*) override { journal.push_back("PlayOGMIncommingSuccess"); }
    void PlayOGMIncommingQueueFull(void*) override { journal.push_back("PlayOGMIncommingQueueFull"); }
    void PlayOGMIncommingWrongCid(void*) override { journal.push_back("PlayOGMIncommingWrongCid"); }
    void PlayOGMEnterNumber(void*) override { journal.push_back("PlayOGMEnterNumber"); }
    void PlayOGMEnterPin(void*) override { journal.push_back("PlayOGMEnterPin"); }
    void PlayOGMWrongPin(void*) override { journal.push_back("PlayOGMWrongPin"); }
    void PlayOGMWrongPinDisconnect(void*) override { journal.push_back("PlayOGMWrongPinDisconnect"); }
    void PlayOGMTransferDenied(void*) override { journal.push_back("PlayOGMTransferDenied"); }
    void MakeCallBack(const std::string& number) override { journal.push_back("MakeCallBack " + number); }
    void TransferCall(const std::string& dest, void*) override { journal.push_back("TransferCall " + dest); }
    bool HasFreeLines() override { return freeLines; }
    void disable() { enabled = false; }

    Journal& journal;
    bool freeLines = true;
};

class CallBackLogicTest : public ::testing::Test
{
protected:
    CallBackLogicTest()
    {
        settings.MaxNumbersInQueue = 10;
        settings.MaxCallBackTries = 3;
        settings.EnterPinMaxTries = 3;
        queue.SetSettings(&settings);
        logic.SetSettings(&settings);
        logic.SetDBBackend(&db);
        logic.SetNorCOMService(&lines);
        logic.SetCallBackQueue(&queue);
        db.subscribers["89161234567"] = {42, "1234"};
    }
    Journal take()
    {
        Journal out;
        out.swap(journal);
        return out;
    }

    LogCapture log;
    Journal journal;
    CBSrvSettings settings;
    CallBackQueue queue;
    FakeDB db{journal};
    FakeLines lines{journal};
    TestLogic logic{journal};
    int call = 0; // any handle; the core hands it back unchanged
};

TEST_F(CallBackLogicTest, SubscriberIsAnnouncedLoggedAndQueuedInDialableForm)
{
    logic.OnIncommingCall("+79161234567", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMIncommingSuccess", "save +79161234567 uid=42 result=1 dest=89161234567"}));
    EXPECT_EQ(queue.Dequeue(), "89161234567");
    EXPECT_TRUE(log.contains("Debug: CallBackLogic::OnIncommingCall modified callerid= 89161234567"));
}

TEST_F(CallBackLogicTest, QueueFullAtTheLimitAndAcceptedJustBelowIt)
{
    settings.MaxNumbersInQueue = 2;
    queue.PutInQueue("100");
    logic.OnIncommingCall("89161234567", &call); // length 1 < 2: accepted
    logic.OnIncommingCall("89161234567", &call); // length 2: full
    EXPECT_EQ(take(), (Journal{"PlayOGMIncommingSuccess", "save 89161234567 uid=42 result=1 dest=89161234567",
                               "PlayOGMIncommingQueueFull", "save 89161234567 uid=42 result=2 dest=89161234567"}));
    EXPECT_EQ(queue.GetLength(), 2);

    // Calls that came in together count each other before any is queued: room for one more takes one.
    // A number already waiting is the same request again and takes no room.
    settings.MaxNumbersInQueue = 3;
    db.subscribers["89160000001"] = {1, "1"};
    db.subscribers["89160000002"] = {2, "2"};
    int a = 0, b = 0, c = 0, d = 0;
    logic.OnIncommingCalls({{"89161234567", &a}, {"89160000001", &b}, {"89160000002", &c}, {"+74950000000", &d}});
    EXPECT_EQ(take(), (Journal{"PlayOGMIncommingSuccess", "PlayOGMIncommingSuccess", "PlayOGMIncommingQueueFull",
                               "PlayOGMIncommingWrongCid", "save 89161234567 uid=42 result=1 dest=89161234567",
                               "save 89160000001 uid=1 result=1 dest=89160000001",
                               "save 89160000002 uid=2 result=2 dest=89160000002",
                               "save +74950000000 uid=-1 result=0 dest=84950000000"}));
    EXPECT_EQ(queue.GetLength(), 3);
}

TEST_F(CallBackLogicTest, MaxNumbersInQueueZeroRefusesEveryone)
{
    settings.MaxNumbersInQueue = 0;
    logic.OnIncommingCall("89161234567", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMIncommingQueueFull", "save 89161234567 uid=42 result=2 dest=89161234567"}));
    EXPECT_EQ(queue.GetLength(), 0);
}

TEST_F(CallBackLogicTest, UnknownCallerHearsWrongCidAndIsLoggedWithNullSubscriber)
{
    logic.OnIncommingCall("+74950000000", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMIncommingWrongCid", "save +74950000000 uid=-1 result=0 dest=84950000000"}));
    EXPECT_EQ(queue.GetLength(), 0);
    EXPECT_TRUE(log.contains("Warning: OnIncommingCall from wrong CALLERID=+74950000000"));
}

TEST_F(CallBackLogicTest, CallerIdWithLineBreaksAndEscapesStaysOneLogLine)
{
    const std::string forged = "555\r\n[Selvane.1, 2026-01-01 00:00:00.000; Warning]: forged\x1b[31m";
    const auto before = log.lines().size();
    logic.OnIncommingCall(forged, &call);
    auto written = log.lines();
    EXPECT_TRUE(log.contains("Warning: OnIncommingCall from wrong CALLERID=555\\r\\n[Selvane.1, 2026-01-01 "
                             "00:00:00.000; Warning]: forged\\x1b[31m"));
    for (auto it = written.begin() + long(before); it != written.end(); ++it)
        EXPECT_EQ(it->find("Warning: forged"), std::string::npos) << *it;
    EXPECT_EQ(take(),
              (Journal{"PlayOGMIncommingWrongCid", "save " + forged + " uid=-1 result=0 dest=" + forged}))
        << "the database gets the caller ID as received";
}

TEST_F(CallBackLogicTest, WrongPinsAreCountedUpToTheLimit)
{
    logic.OnCallBackSucceed("89161234567", &call);
    for (int i = 0; i < 3; ++i)
        logic.OnPinEntered("89161234567", "0000", &call);
    EXPECT_EQ(take(),
              (Journal{"PlayOGMEnterPin", "PlayOGMWrongPin", "PlayOGMWrongPin", "PlayOGMWrongPinDisconnect"}));
    EXPECT_TRUE(log.contains("Notice: EnterPinMaxTries=3 wrong count=1"));
    // The PIN itself is never written, only as many stars as it has digits.
    EXPECT_TRUE(log.contains("Notice: Got wrong PIN=**** from 89161234567, disconnecting"));
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.find("0000"), std::string::npos) << line;
    // The count is back at 0: the next three wrong PINs go the same way.
    for (int i = 0; i < 3; ++i)
        logic.OnPinEntered("89161234567", "0000", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMWrongPin", "PlayOGMWrongPin", "PlayOGMWrongPinDisconnect"}));
}

TEST_F(CallBackLogicTest, CorrectPinDoesNotResetCountButTheNextCallbackDoes)
{
    logic.OnPinEntered("89161234567", "0000", &call);
    logic.OnPinEntered("89161234567", "1234", &call);
    logic.OnPinEntered("89161234567", "0000", &call);
    logic.OnPinEntered("89161234567", "0000", &call); // third wrong overall
    EXPECT_EQ(take(),
              (Journal{"PlayOGMWrongPin", "PlayOGMEnterNumber", "PlayOGMWrongPin", "PlayOGMWrongPinDisconnect"}));
    logic.OnPinEntered("89161234567", "0000", &call);
    logic.OnCallBackSucceed("89161234567", &call);
    logic.OnPinEntered("89161234567", "0000", &call);
    logic.OnPinEntered("89161234567", "0000", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMWrongPin", "PlayOGMEnterPin", "PlayOGMWrongPin", "PlayOGMWrongPin"}));
}

TEST_F(CallBackLogicTest, PinLimitOfOneDisconnectsOnFirstWrongPin)
{
    settings.EnterPinMaxTries = 1;
    logic.OnPinEntered("89161234567", "0000", &call);
    settings.EnterPinMaxTries = 0;
    logic.OnPinEntered("89161234567", "0000", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMWrongPinDisconnect", "PlayOGMWrongPinDisconnect"}));
}

// The lockout set while the database lacks its table: one Error, then callbacks and PINs as without it.
TEST_F(CallBackLogicTest, LockoutWithoutItsTableSaysSoOnceAndStaysOff)
{
    settings.PinLockoutFailures = 1;
    settings.PinLockoutWindow = 60;
    settings.PinLockoutMinutes = 60;
    settings.EnterPinMaxTries = 1;
    int handle = 0;
    for (int round = 0; round < 3; ++round) {
        logic.OnIncommingCall("89161234567", &handle);
        logic.OnCallBackReady();
        logic.OnCallBackSucceed("89161234567", &handle);
        logic.OnPinEntered("89161234567", "0000", &handle);
        logic.OnCallBackReleased(&handle);
    }
    const Journal seen = take();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "save 89161234567 uid=42 result=1 dest=89161234567"), 3);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "MakeCallBack 89161234567"), 3);
    int errors = 0;
    for (const std::string& line : log.lines())
        errors += line.rfind("Error: PIN lockout is set but the database lacks its table", 0) == 0;
    EXPECT_EQ(errors, 1);
}

TEST_F(CallBackLogicTest, AllowedDestinationGetsTransferCosAndIsTransferredDialable)
{
    logic.OnNumberEntered("line1", "89161234567", "+74951112233", &call);
    EXPECT_EQ(take(), (Journal{"SetCOS line1 1", "TransferCall 84951112233"}));
}

TEST_F(CallBackLogicTest, BlacklistedDestinationKeepsLineCosAndIsDenied)
{
    db.blacklist.insert("112");
    lines.cos["line1"] = 5;
    logic.OnNumberEntered("line1", "89161234567", "112", &call);
    EXPECT_EQ(take(), (Journal{"PlayOGMTransferDenied"}));
    EXPECT_EQ(lines.cos["line1"], 5);
    EXPECT_TRUE(log.contains("Warning: Callback  OnNumberEntered TRANSFER DENIED calleid=89161234567 number=112"));
}

TEST_F(CallBackLogicTest, OneNumberPerTickWithFreeLines)
{
    queue.PutInQueue("101");
    queue.PutInQueue("102");
    logic.CheckCallBackQueue();
    EXPECT_EQ(take(), Journal{"MakeCallBack 101"});
    EXPECT_TRUE(log.contains(
        "Debug: CallBackLogic::CheckCallBackQueue queue has 2 calls and free lines, going to call OnCallBackReady"));
    EXPECT_TRUE(log.contains("Debug: OnCallBackReady queue length=2, number=101"));
    logic.CheckCallBackQueue();
    EXPECT_EQ(take(), Journal{"MakeCallBack 102"});
}

TEST_F(CallBackLogicTest, TickWithoutLinesOrWithEmptyQueue)
{
    logic.freeLines = false;
    queue.PutInQueue("101");
    logic.CheckCallBackQueue();
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(log.contains("Debug: CallBackLogic::CheckCallBackQueue no free lines "));

    logic.freeLines = true;
    ASSERT_EQ(queue.Dequeue(), "101");
    auto before = log.lines().size();
    logic.CheckCallBackQueue(); // empty queue: no line at all
    EXPECT_EQ(log.lines().size(), before);
}

TEST_F(CallBackLogicTest, FailedCallbackIsRetriedThroughTheQueue)
{
    settings.MaxCallBackTries = 2;
    queue.PutInQueue("101");
    logic.CheckCallBackQueue();
    logic.OnCallBackFailed("101");
    EXPECT_TRUE(log.contains("Warning: Failed to make callback to number 101"));
    logic.CheckCallBackQueue();
    logic.OnNoFreeLines("101");
    logic.CheckCallBackQueue();
    logic.OnCallBackFailed("101");
    logic.CheckCallBackQueue();
    EXPECT_EQ(take(), (Journal{"MakeCallBack 101", "MakeCallBack 101", "MakeCallBack 101"}));
}

TEST_F(CallBackLogicTest, InitializeStartsTheQueueTimerOnlyWhenEnabled)
{
    logic.Initialize();
    auto timers = logic.findChildren<QTimer*>();
    ASSERT_EQ(timers.size(), 1);
    EXPECT_EQ(timers[0]->interval(), 7000);
    EXPECT_FALSE(timers[0]->isSingleShot());
    ASSERT_TRUE(timers[0]->isActive()) << "the timer runs";
    // Its ticks reach the queue: shortened so the test need not wait 7 s for the first.
    queue.PutInQueue("101");
    queue.PutInQueue("102");
    timers[0]->setInterval(20);
    testsupport::WaitFor(
        [&] {
            QCoreApplication::processEvents();
            return journal.size() >= 2;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(5));
    EXPECT_EQ(take(), (Journal{"MakeCallBack 101", "MakeCallBack 102"})) << "one number per tick";

    TestLogic disabled(journal);
    disabled.SetCallBackQueue(&queue);
    disabled.disable();
    disabled.Initialize();
    EXPECT_TRUE(disabled.findChildren<QTimer*>().empty());
    queue.PutInQueue("103");
    disabled.CheckCallBackQueue();
    disabled.OnCallBackReady();
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(queue.GetLength(), 1);
}

TEST_F(CallBackLogicTest, LineCosIsSavedAndRestored)
{
    lines.cos["line1"] = 3;
    EXPECT_EQ(logic.SaveLineCOS("line1"), 3);
    lines.cos["line1"] = 1;
    logic.RestoreLineCOS("line1");
    logic.RestoreLineCOS("never-saved");
    EXPECT_EQ(take(), (Journal{"SetCOS line1 3", "SetCOS never-saved 0"}));
}

// While operations queue for the logic, the queue timer's tick goes next; the others keep their
// turns, and an operation entered from another on the same thread does not wait for itself.
TEST(LogicLockTest, TheUrgentEntryGoesBeforeTheOrdinaryOnesWaiting)
{
    LogicLock lock;
    std::mutex orderLock;
    std::vector<std::string> order;
    auto note = [&](const std::string& who) {
        std::lock_guard<std::mutex> guard(orderLock);
        order.push_back(who);
    };
    std::vector<std::thread> threads;
    {
        LogicLock::Entry holder(lock);
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&, i] {
                LogicLock::Entry entry(lock);
                note("call" + std::to_string(i));
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // all three are waiting
        threads.emplace_back([&] {
            LogicLock::Entry entry(lock, LogicLock::Urgency::Urgent);
            LogicLock::Entry nested(lock);
            note("tick");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.front(), "tick");
}

} // namespace
