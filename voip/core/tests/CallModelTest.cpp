// The call model and routing with in-process endpoints: no network.
#include "voip/core/Call.h"
#include "voip/core/Endpoint.h"
#include "voip/core/Manager.h"
#include "voip/core/Address.h"
#include "tests/support/EventLog.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace voip {
namespace {

using namespace std::chrono_literals;

// A party that answers at once unless its address says "ring", and records what it is told.
class TestConnection : public Connection
{
public:
    TestConnection(Call& call, Endpoint& endpoint, const std::string& token, const std::string& address,
                   unsigned options, const StringOptions& stringOptions, EventLog& events)
        : Connection(call, endpoint, token, address, options, stringOptions), events_(events)
    {
    }
    void OnEstablished() override
    {
        EXPECT_NE(std::this_thread::get_id(), caller);
        events_.Add("established " + GetAddress());
        if (onEstablished)
            onEstablished();
    }
    bool OnUserInputString(const std::string& value) override
    {
        events_.Add("input " + GetAddress() + " " + value);
        return true;
    }
    void OnReleased() override { events_.Add("released " + GetAddress()); }
    void Answer() { SetConnected(); }
    void Key(const std::string& value) { DeliverUserInput(value); }

    std::thread::id caller = std::this_thread::get_id();
    std::function<void()> onEstablished;

protected:
    bool SetUpConnection() override
    {
        if (GetAddress().find("ring") == std::string::npos)
            SetConnected();
        return GetAddress().find("refuse") == std::string::npos;
    }

private:
    EventLog& events_;
};

class TestEndpoint : public Endpoint
{
public:
    TestEndpoint(Manager& manager, EventLog& events) : Endpoint(manager, "test"), events_(events) {}
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override
    {
        auto c = std::make_shared<TestConnection>(call, *this, token, address, options, stringOptions, events_);
        if (onCreated)
            onCreated(*c);
        return c;
    }
    std::function<void(TestConnection&)> onCreated;

private:
    EventLog& events_;
};

class TestManager : public Manager
{
public:
    explicit TestManager(EventLog& events) : events_(events) {}
    ~TestManager() override { ShutDownEndpoints(); }
    void OnReleased(Connection& connection) override { events_.Add("manager released " + connection.GetAddress()); }

private:
    EventLog& events_;
};

class CallModelTest : public ::testing::Test
{
protected:
    EventLog events;
    TestManager manager{events};
    TestEndpoint& endpoint = manager.AddEndpoint(std::make_unique<TestEndpoint>(manager, events));
};

TEST(RouteTableTest, FirstMatchingEntryWinsAndDialledNumberIsSubstituted)
{
    RouteTable routes;
    EXPECT_TRUE(routes.Add("sip:.*1001.* = ivr:"));
    EXPECT_TRUE(routes.Add(".* = sip:<dn>@pbx.example"));
    EXPECT_EQ(routes.Route("sip:1001@10.0.0.1:5060"), "ivr:");
    EXPECT_EQ(routes.Route("0123456"), "sip:0123456@pbx.example");
    EXPECT_EQ(routes.Route("sip:77@10.0.0.1"), "sip:77@pbx.example");
    // The whole address must match.
    RouteTable exact;
    ASSERT_TRUE(exact.Add("12 = test:x"));
    EXPECT_EQ(exact.Route("123"), "");
}

TEST(RouteTableTest, MalformedEntriesAreRefused)
{
    RouteTable routes;
    EXPECT_FALSE(routes.Add("no separator"));
    EXPECT_FALSE(routes.Add("([unclosed = ivr:"));
    EXPECT_FALSE(routes.Add(" = ivr:"));
    EXPECT_EQ(routes.Size(), 0u);
    EXPECT_EQ(routes.Route("anything"), "");
}

TEST(RouteTableTest, UserPartOfAddresses)
{
    EXPECT_EQ(UserPartOf("sip:123@host;transport=udp"), "123");
    EXPECT_EQ(UserPartOf("\"Line\" <sip:line1@pbx>;tag=x"), "line1");
    EXPECT_EQ(UserPartOf("555"), "555");
    EXPECT_EQ(UserPartOf("sip:912345"), "912345");
}

TEST(RouteTableTest, HostAndPortSplit)
{
    std::string host;
    int port = 0;
    ASSERT_TRUE(SplitHostPort("[::1]:5070", host, port, 5060));
    EXPECT_EQ(host + " " + std::to_string(port), "::1 5070");
    ASSERT_TRUE(SplitHostPort("pbx", host, port, 5060));
    EXPECT_EQ(host + " " + std::to_string(port), "pbx 5060");
    ASSERT_TRUE(SplitHostPort(":0", host, port, 5060));
    EXPECT_EQ(host + " " + std::to_string(port), " 0");
    for (const char* bad : {"::1:5060", "[::1", "[::1]5060", "pbx:", "pbx:50x", "pbx:65536"})
        EXPECT_FALSE(SplitHostPort(bad, host, port, 5060)) << bad;
}

TEST_F(CallModelTest, CallIsEstablishedNotifiedOnWorkersAndClearedSynchronously)
{
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:b", token));
    ASSERT_TRUE(events.WaitFor("established test:a"));
    ASSERT_TRUE(events.WaitFor("established test:b"));
    EXPECT_TRUE(manager.IsCallEstablished(token));
    EXPECT_EQ(manager.GetCallCount(), 1u);

    auto call = manager.FindCall(token);
    ASSERT_TRUE(call);
    auto a = call->GetConnection(0);
    auto b = call->GetConnection(1);
    EXPECT_TRUE(a->IsOriginating());
    EXPECT_FALSE(b->IsOriginating());
    EXPECT_EQ(a->GetOtherPartyConnection(), b);
    {
        auto found = endpoint.FindConnectionWithLockAs<TestConnection>(b->GetToken());
        ASSERT_TRUE(found);
        found->Key("5");
    }
    ASSERT_TRUE(events.WaitFor("input test:a 5"));
    EXPECT_EQ(events.Count("input test:b 5"), 0u);

    ASSERT_TRUE(manager.ClearCallSynchronous(token));
    EXPECT_EQ(events.Count("released test:a"), 1u);
    EXPECT_EQ(events.Count("released test:b"), 1u);
    EXPECT_EQ(events.Count("manager released test:b"), 1u);
    EXPECT_EQ(manager.GetCallCount(), 0u);
    EXPECT_FALSE(manager.IsCallEstablished(token));
    EXPECT_FALSE(endpoint.FindConnectionWithLock(b->GetToken()));
    EXPECT_EQ(a->GetCallEndReason(), CallEndReason::LocalUser);
    EXPECT_FALSE(manager.ClearCall(token));
}

TEST_F(CallModelTest, BareNumbersAreRoutedAndUnroutableCallsFail)
{
    ASSERT_TRUE(manager.AddRouteEntry(".* = test:<dn>-routed"));
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("test:a", "555", token));
    EXPECT_TRUE(events.WaitFor("established test:555-routed"));
    manager.ClearCallSynchronous(token);

    manager.GetRouteTable().Clear();
    std::string none;
    EXPECT_FALSE(manager.SetUpCall("test:a", "556", none));
    EXPECT_FALSE(manager.SetUpCall("nothing:a", "test:b", none));
    EXPECT_TRUE(none.empty());
    // The A-party already made is released like any other.
    EXPECT_TRUE(events.WaitFor("released test:a"));
    EXPECT_TRUE(testsupport::WaitFor([&] { return manager.GetCallCount() == 0; }, 1s));
}

TEST_F(CallModelTest, UnansweredCallIsHeldButNotEstablished)
{
    std::shared_ptr<TestConnection> ringing;
    endpoint.onCreated = [&](TestConnection& c) {
        if (c.GetAddress() == "test:ring")
            ringing = std::static_pointer_cast<TestConnection>(c.shared_from_this());
    };
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:ring", token));
    EXPECT_FALSE(manager.IsCallEstablished(token));
    EXPECT_EQ(manager.GetCallCount(), 1u);
    ASSERT_TRUE(ringing);
    ringing->Answer();
    EXPECT_TRUE(events.WaitFor("established test:ring"));
    EXPECT_TRUE(manager.IsCallEstablished(token));

    std::string refused;
    EXPECT_FALSE(manager.SetUpCall("test:a", "test:ring-refuse", refused));
}

TEST_F(CallModelTest, BlockingNotificationStallsOnlyItsOwnCall)
{
    std::mutex m;
    std::condition_variable cv;
    bool otherEstablished = false;
    endpoint.onCreated = [&](TestConnection& c) {
        if (c.GetAddress() == "test:slow")
            c.onEstablished = [&] {
                std::unique_lock<std::mutex> lock(m);
                // Waits for the other call: a shared, stalled worker would never let it through.
                EXPECT_TRUE(cv.wait_for(lock, 5s, [&] { return otherEstablished; }));
            };
        if (c.GetAddress() == "test:quick")
            c.onEstablished = [&] {
                std::lock_guard<std::mutex> lock(m);
                otherEstablished = true;
                cv.notify_all();
            };
    };
    std::string slow, quick;
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:slow", slow));
    ASSERT_TRUE(events.WaitFor("established test:slow"));
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:quick", quick));
    EXPECT_TRUE(events.WaitFor("established test:quick"));
    manager.ClearCallSynchronous(slow);
    manager.ClearCallSynchronous(quick);
}

TEST_F(CallModelTest, ClearingOwnCallFromItsNotificationDoesNotWait)
{
    endpoint.onCreated = [&](TestConnection& c) {
        if (c.GetAddress() == "test:self")
            c.onEstablished = [&c] {
                auto call = c.GetCall();
                EXPECT_TRUE(c.GetManager().ClearCallSynchronous(call->GetToken()));
            };
    };
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:self", token));
    EXPECT_TRUE(events.WaitFor("released test:self"));
}

TEST_F(CallModelTest, ShutDownClearsCallsStillHeld)
{
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("test:a", "test:ring", token));
    manager.ShutDownEndpoints();
    EXPECT_EQ(events.Count("released test:ring"), 1u);
    EXPECT_EQ(manager.GetCallCount(), 0u);
    std::string late;
    EXPECT_FALSE(manager.SetUpCall("test:a", "test:b", late));
}

} // namespace
} // namespace voip
