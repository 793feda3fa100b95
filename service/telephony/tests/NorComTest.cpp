// The PBX bridge, its component wrapper and the control component, against a control server of the
// test's own over real TCP on 127.0.0.1.
#include "common/Logging.h"
#include "platform/Automation.h"
#include "platform/pbxcontrol/NorComComponent.h"
#include "service/core/INorCOMEventsReceiver.h"
#include "tests/support/LogCapture.h"
#include "service/core/CBSrvSettings.h"
#include "service/telephony/NorCOMCallback.h"
#include "service/telephony/NorCom.h"
#include "service/telephony/PlatformLogging.h"
#include "service/telephony/tests/TestControlServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaClassInfo>
#include <QMetaEnum>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kTestCallTimeoutMs = 1500;

class Receiver final : public INorCOMEventsReceiver
{
public:
    void OnSIPCallConnected(const std::string& line) override { add("connected " + line); }
    void OnSIPCallDisconnected(const std::string& line) override { add("disconnected " + line); }
    // Kept apart from the line events, whose counts the tests follow.
    void OnExchangeSessionRestored() override { ++restored; }
    std::atomic<int> restored{0};

    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(events_, {});
    }
    std::vector<std::string> peek() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }

    ~Receiver() = default;

private:
    void add(std::string event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// A bridge wired as the service wires it. The service never deletes the component; the test does,
// after the bridge, so that no connection outlives the test.
struct WiredBridge
{
    WiredBridge(const std::string& server, const std::vector<std::string>& logins,
                const std::string& password = "secret")
    {
        settings.Server = QString::fromStdString(server);
        settings.Username = QStringLiteral("norvel");
        settings.NorvelPassword = QString::fromStdString(password);
        for (const std::string& login : logins)
            settings.sipRegistrations.push_back(SipRegistration{login, "pw", "127.0.0.1"});
        bridge = std::make_unique<NorCOMCallback>();
        bridge->SetSettings(&settings);
        bridge->eventsReceiver = &receiver;
        bridge->SetNorCOMService(bridge.get());
        if (NorComComponent* c = component()) {
            c->setCallTimeout(kTestCallTimeoutMs);
            c->setReconnectDelays(50, 400);
        }
    }
    ~WiredBridge()
    {
        std::unique_ptr<NorvelComLib::NorCom> owned(bridge->component());
        bridge.reset();
    }
    NorComComponent* component() const
    {
        return bridge->component() ? qobject_cast<NorComComponent*>(bridge->component()->component()) : nullptr;
    }

    CBSrvSettings settings;
    Receiver receiver;
    std::unique_ptr<NorCOMCallback> bridge;
};

// Replaces standard input by a pipe for the life of the object.
class StdinPipe
{
public:
    StdinPipe()
    {
        EXPECT_EQ(pipe(fds_), 0);
        saved_ = dup(0);
        dup2(fds_[0], 0);
        clearerr(stdin);
    }
    ~StdinPipe()
    {
        dup2(saved_, 0);
        close(saved_);
        close(fds_[0]);
        close(fds_[1]);
        clearerr(stdin);
    }
    void type(char c) { EXPECT_EQ(write(fds_[1], &c, 1), 1); }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

} // namespace

// A component of the test's own, to try the automation layer on something that is not the PBX.
class Adder : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE int Add(int a, int b) { return a + b; }
    Q_INVOKABLE QString Echo(const QString& text) { return text; }
    Q_INVOKABLE QVariant Same(const QVariant& value) { return value; }
    Q_INVOKABLE void Ping() { ++pings; }
    std::atomic<int> pings{0};
signals:
    void Ticked(int n);
    void Unwrapped(const QString& text);
};

static const char* const kAdderId = "{5b0e1c9a-2f43-4d7e-9a61-0c8d2e7f4b13}";

class AdderWrapper : public AxObject
{
    Q_OBJECT
public:
    AdderWrapper() : AxObject(QString::fromLatin1(kAdderId)) {}
signals:
    void Ticked(int n);
};

TEST(AutomationLayer, CreatesByClassIdAndCallsThroughTheMetaObject)
{
    // Not registered: nothing is created, and every call on the empty container is an invalid value.
    EXPECT_FALSE(ComponentRegistry::isRegistered(kAdderId));
    AxObject missing(QString::fromLatin1(kAdderId));
    EXPECT_TRUE(missing.isNull());
    EXPECT_TRUE(missing.control().isEmpty());
    EXPECT_FALSE(missing.dynamicCall("Add(int,int)", {1, 2}).isValid());

    ComponentRegistry::registerClass(kAdderId, [] { return std::make_unique<Adder>(); });
    // Identifiers are GUIDs: letter case and braces do not matter.
    EXPECT_FALSE(AxObject(QStringLiteral("5B0E1C9A-2F43-4D7E-9A61-0C8D2E7F4B13")).isNull());

    AdderWrapper wrapper;
    ASSERT_FALSE(wrapper.isNull());
    auto* adder = qobject_cast<Adder*>(wrapper.component());
    ASSERT_NE(adder, nullptr);

    EXPECT_EQ(wrapper.dynamicCall("Add(int,int)", {2, QStringLiteral("40")}).toInt(), 42);
    EXPECT_EQ(wrapper.dynamicCall("Add(int, int)", {1, 1}).toInt(), 2);
    EXPECT_EQ(wrapper.dynamicCall("Add", {3, 4}).toInt(), 7);
    EXPECT_EQ(wrapper.dynamicCall("Echo(QString)", {QStringLiteral("8495")}).toString(), "8495");
    EXPECT_EQ(wrapper.dynamicCall("Same(QVariant)", {17}).toInt(), 17);
    EXPECT_FALSE(wrapper.dynamicCall("Ping()").isValid());
    EXPECT_EQ(adder->pings, 1);
    // Wrong name, wrong count, an argument that does not convert: an invalid value and no call.
    EXPECT_FALSE(wrapper.dynamicCall("Subtract(int,int)", {1, 2}).isValid());
    EXPECT_FALSE(wrapper.dynamicCall("Add(int,int)", {1}).isValid());
    EXPECT_FALSE(wrapper.dynamicCall("Add(int,int)", {QStringList{"a", "b"}, 1}).isValid());
    EXPECT_FALSE(wrapper.dynamicCall("Ping(int)", {1}).isValid());
    EXPECT_EQ(adder->pings, 1);

    // The component's events arrive as the wrapper's signals of the same signature.
    std::vector<int> ticks;
    QObject::connect(&wrapper, &AdderWrapper::Ticked, [&](int n) { ticks.push_back(n); });
    emit adder->Ticked(5);
    emit adder->Unwrapped(QStringLiteral("no wrapper signal, no harm"));
    EXPECT_EQ(ticks, std::vector<int>{5});

    // Calls run on the calling thread, with no event loop behind them.
    std::atomic<int> sum{0};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            sum += wrapper.dynamicCall("Add(int,int)", {i, 0}).toInt();
    });
    worker.join();
    EXPECT_EQ(sum, 4950);

    // Initialisation nests per thread.
    EXPECT_EQ(AxInitializeCount(), 0);
    EXPECT_TRUE(AxInitialize());
    EXPECT_TRUE(AxInitialize());
    EXPECT_EQ(AxInitializeCount(), 2);
    std::thread other([] { EXPECT_EQ(AxInitializeCount(), 0); });
    other.join();
    AxUninitialize();
    AxUninitialize();
    AxUninitialize();
    EXPECT_EQ(AxInitializeCount(), 0);

    ComponentRegistry::unregisterClass(QStringLiteral("{5B0E1C9A-2F43-4D7E-9A61-0C8D2E7F4B13}"));
    EXPECT_TRUE(AdderWrapper().isNull());
    wrapper.clear();
    EXPECT_TRUE(wrapper.isNull());
}

TEST(NorComWrapper, CarriesTheTypeLibrarysNames)
{
    const QMetaObject& meta = NorvelComLib::NorCom::staticMetaObject;
    EXPECT_STREQ(meta.classInfo(meta.indexOfClassInfo("Event Interface 1")).value(), "_INorComEvents");
    EXPECT_STREQ(meta.classInfo(meta.indexOfClassInfo("Interface 0")).value(), "INorCom");
    const QMetaEnum states = meta.enumerator(meta.indexOfEnumerator("CallState"));
    ASSERT_TRUE(states.isValid());
    EXPECT_EQ(states.keyToValue("state_idle"), 0);
    EXPECT_EQ(states.keyToValue("state_hold"), 5);
    EXPECT_GE(meta.indexOfSignal("CallStateChangedInt(int,int,int)"), 0);
    // Every method the wrapper calls exists on the component under that signature.
    const QMetaObject& component = NorComComponent::staticMetaObject;
    for (const char* signature : {"Connect(QString,QString,QString)", "Disconnect()", "SetClientType(QString)",
                                  "OpenLine(QString)", "GetCOS(int)", "SetCOS(int,int)", "ToDialable(QString)"})
        EXPECT_GE(component.indexOfMethod(signature), 0) << signature;
    EXPECT_GE(component.indexOfSignal("CallStateChangedInt(int,int,int)"), 0);
}

// One bridge through its whole working life: connect, open lines, line services, the states of a call.
TEST(NorComBridge, OpensLinesAndFollowsACallThroughItsStates)
{
    TestControlServer server;
    server.addLine("201", 7, 3);
    server.addLine("202", 9, 5);
    ASSERT_TRUE(server.start());
    LogCapture log;

    WiredBridge wired(server.address(), {"201", "202", "203"});
    NorCOMCallback& bridge = *wired.bridge;
    ASSERT_NE(wired.component(), nullptr);
    bridge.Initialize();

    EXPECT_EQ(server.logins(), 1);
    EXPECT_EQ(server.requests("setClientType"), 1);
    EXPECT_EQ(server.openedNames(), (std::vector<std::string>{"201", "202", "203"}));
    EXPECT_TRUE(log.contains("Error: NorCOM can't open sip line 203"));
    // The server reports each opened line's current state (idle) at once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 2; }));
    // Each line's handlers run on a worker of their own: the lines' order between them is free.
    std::vector<std::string> opened = wired.receiver.take();
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"disconnected 201", "disconnected 202"}));

    // Line services.
    EXPECT_EQ(bridge.GetCOS("201"), 3);
    bridge.SetCOS("202", 8);
    EXPECT_EQ(server.cosOf(9), 8);
    EXPECT_EQ(bridge.GetCOS("202"), 8);
    const int asked = server.requests("getCOS");
    EXPECT_EQ(bridge.GetCOS("203"), 0);
    EXPECT_EQ(bridge.GetCOS(""), 0);
    bridge.SetCOS("203", 4);
    EXPECT_EQ(server.requests("getCOS"), asked);
    EXPECT_EQ(server.requests("setCOS"), 1);
    bridge.SetCOS("201", -1); // refused by the exchange: nothing changes, nothing hangs
    EXPECT_EQ(server.cosOf(7), 3);
    std::string number = "+7 (912) 345-67-89";
    bridge.ToDialable(number);
    EXPECT_EQ(number, "89123456789");

    // Ringing, connected, idle on line 7: busy from the first event, one report each way, then free.
    EXPECT_EQ(bridge.GetFreeSipLine(), "201");
    server.setState(7, 1, NorvelComLib::NorCom::state_ringing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.GetFreeSipLine() == "202"; }));
    EXPECT_EQ(wired.receiver.count(), 0u);
    server.setState(7, 1, NorvelComLib::NorCom::state_connected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    EXPECT_EQ(bridge.GetFreeSipLine(), "202");
    server.setState(7, 1, NorvelComLib::NorCom::state_idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 2; }));
    EXPECT_EQ(wired.receiver.take(), (std::vector<std::string>{"connected 201", "disconnected 201"}));
    EXPECT_EQ(bridge.GetFreeSipLine(), "201");

    // Lines 7 and 9: with 7 busy the free one is 9, with both busy there is none; hold and dialing count.
    server.setState(7, 2, NorvelComLib::NorCom::state_dialing);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.GetFreeSipLine() == "202"; }));
    server.setState(9, 3, NorvelComLib::NorCom::state_hold);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.GetFreeSipLine().empty(); }));

    // An event for a line the bridge did not open changes nothing; a later known event shows it was seen.
    server.setState(42, 4, NorvelComLib::NorCom::state_idle);
    server.setState(42, 4, NorvelComLib::NorCom::state_connected);
    server.setState(9, 3, NorvelComLib::NorCom::state_idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    EXPECT_EQ(wired.receiver.take(), std::vector<std::string>{"disconnected 202"});
    EXPECT_EQ(bridge.GetFreeSipLine(), "202");
    EXPECT_EQ(bridge.GetCOS("42"), 0);
}

TEST(NorComBridge, SameLoginTwiceAndANegativeLineId)
{
    TestControlServer server;
    server.addLine("300", 4, 11);
    server.addLine("300", 6, 22); // a second opening of the same name gets another id
    server.addLine("301", -5, 33);
    ASSERT_TRUE(server.start());

    WiredBridge wired(server.address(), {"300", "300", "301"});
    NorCOMCallback& bridge = *wired.bridge;
    bridge.Initialize();

    // The greater id serves the name.
    EXPECT_EQ(bridge.GetCOS("300"), 22);
    bridge.SetCOS("300", 40);
    EXPECT_EQ(server.cosOf(6), 40);
    EXPECT_EQ(server.cosOf(4), 11);

    // A negative id counts as opened but never reaches the exchange's class-of-service calls.
    const int asked = server.requests("getCOS"), set = server.requests("setCOS");
    EXPECT_EQ(bridge.GetCOS("301"), 0);
    bridge.SetCOS("301", 1);
    EXPECT_EQ(server.requests("getCOS"), asked);
    EXPECT_EQ(server.requests("setCOS"), set);
    EXPECT_EQ(server.cosOf(-5), 33);
    // It is the lowest id, so the first free line; busy, it gives way to the duplicates in id order.
    EXPECT_EQ(bridge.GetFreeSipLine(), "301");
    server.setState(-5, 1, NorvelComLib::NorCom::state_busy);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.GetFreeSipLine() == "300"; }));
    server.setState(4, 1, NorvelComLib::NorCom::state_connected);
    // Events of the lines run on workers of their own: earlier ones of other lines may still come in.
    std::vector<std::string> events;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (auto& e : wired.receiver.take())
            events.push_back(std::move(e));
        return std::count(events.begin(), events.end(), "connected 300") == 1;
    }));
    EXPECT_EQ(bridge.GetFreeSipLine(), "300"); // id 6 now
}

TEST(NorComBridge, WithoutAComponentEveryServiceIsNothing)
{
    TestControlServer server;
    server.addLine("201", 7, 3);
    ASSERT_TRUE(server.start());
    LogCapture log;
    ComponentRegistry::unregisterClass(NorvelComLib::NorCom::kClassId);

    // The failed creation waits for one key on standard input, then asks the event loop to end with 0.
    StdinPipe input;
    std::unique_ptr<WiredBridge> wired;
    std::atomic<bool> constructed{false};
    QTimer::singleShot(0, [&] {
        std::thread typist([&] {
            // The constructor must still be waiting when the key comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_FALSE(constructed);
            input.type('\n');
        });
        wired = std::make_unique<WiredBridge>(server.address(), std::vector<std::string>{"201"});
        constructed = true;
        typist.join();
    });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    ComponentRegistry::registerClass(NorvelComLib::NorCom::kClassId,
                                     [] { return std::make_unique<NorComComponent>(); });
    ASSERT_TRUE(wired);
    EXPECT_TRUE(log.contains("Error: Can't create NorCOM instance. You have to reinstall NorCOM."));

    NorCOMCallback& bridge = *wired->bridge;
    EXPECT_EQ(bridge.component(), nullptr);
    bridge.Initialize();
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(server.requests("login"), 0);
    EXPECT_EQ(bridge.GetCOS("201"), 0);
    bridge.SetCOS("201", 9);
    std::string number = "+7 912";
    bridge.ToDialable(number);
    EXPECT_EQ(number, "+7 912");
    EXPECT_EQ(bridge.GetFreeSipLine(), "");
    EXPECT_EQ(server.cosOf(7), 3);
}

// The exchange stops answering, then goes away and comes back: calls end within the timeout with their
// "nothing" values, and afterwards the lines are open again with their current states.
TEST(NorComComponent, TimesOutAndRecoversWithItsLines)
{
    TestControlServer server;
    server.addLine("201", 7, 3);
    server.addLine("202", 9, 5);
    ASSERT_TRUE(server.start());
    const uint16_t port = server.port();
    LogCapture log;

    WiredBridge wired(server.address(), {"201", "202"});
    NorCOMCallback& bridge = *wired.bridge;
    bridge.Initialize();
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 2; }));
    wired.receiver.take();
    EXPECT_EQ(wired.receiver.restored, 0) << "the first login restores nothing";

    server.setSilent(true);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(bridge.GetCOS("201"), 0);
    std::string number = "+7 1";
    bridge.ToDialable(number);
    EXPECT_EQ(number, "+7 1");
    // Bounded by the timeout (two calls here), with room for a loaded machine.
    EXPECT_LT(clock.elapsed(), 2 * kTestCallTimeoutMs + 3000);

    // While the exchange is away, line 7 is taken by a call and line 9 keeps ringing.
    server.stop();
    server.setStateQuietly(7, NorvelComLib::NorCom::state_connected);
    server.setStateQuietly(9, NorvelComLib::NorCom::state_ringing);
    server.setSilent(false);
    clock.restart();
    EXPECT_EQ(bridge.GetCOS("202"), 0);
    EXPECT_LT(clock.elapsed(), kTestCallTimeoutMs + 3000);
    EXPECT_EQ(bridge.GetFreeSipLine(), "201"); // nothing was reported yet

    ASSERT_TRUE(server.start(port));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge.GetFreeSipLine().empty(); }, 15000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    EXPECT_EQ(wired.receiver.take(), std::vector<std::string>{"connected 201"});
    EXPECT_EQ(server.logins(), 2);
    // The login after the loss is told to the receiver once: the exchange may have forgotten the lines.
    EXPECT_TRUE(QTest::qWaitFor([&] { return wired.receiver.restored == 1; }));
    const std::vector<std::string> opened = server.openedNames();
    ASSERT_GE(opened.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(opened.end() - 2, opened.end()), (std::vector<std::string>{"201", "202"}));
    EXPECT_EQ(bridge.GetCOS("202"), 5);
    EXPECT_TRUE(log.contains("Warning: NorCom: the control server did not answer getCOS in time, reconnecting"));
}

TEST(NorComComponent, ManyThreadsCallWhileEventsArrive)
{
    TestControlServer server;
    const int lines = 4;
    for (int i = 1; i <= lines; ++i)
        server.addLine("40" + std::to_string(i), i * 10, 100 + i);
    ASSERT_TRUE(server.start());
    WiredBridge wired(server.address(), {"401", "402", "403", "404"});
    NorCOMCallback& bridge = *wired.bridge;
    bridge.Initialize();
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == size_t(lines); }));
    wired.receiver.take();

    // Telephony threads ask for classes of service and free lines while the main thread takes events.
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const int line = 1 + (t + i) % lines;
                if (bridge.GetCOS("40" + std::to_string(line)) != 100 + line)
                    ++wrong;
                const std::string free = bridge.GetFreeSipLine();
                if (!free.empty() && (free.size() != 3 || free.compare(0, 2, "40") != 0))
                    ++wrong;
            }
            ++done;
        });
    }
    std::thread events([&] {
        for (int i = 0; i < 400; ++i)
            server.setState(10 * (1 + i % lines), i, i % 2 ? NorvelComLib::NorCom::state_connected
                                                          : NorvelComLib::NorCom::state_ringing);
        for (int line = 1; line <= lines; ++line)
            server.setState(10 * line, 999, NorvelComLib::NorCom::state_idle);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done == 6; }, 60000));
    events.join();
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
    // Connected reports came through at most once each (a stale one is skipped), and each line's last idle.
    auto idles = [&] {
        const std::vector<std::string> seen = wired.receiver.peek();
        return std::count_if(seen.begin(), seen.end(),
                             [](const std::string& e) { return e.rfind("disconnected", 0) == 0; });
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return idles() == lines; }, 20000));
    const std::vector<std::string> seen = wired.receiver.take();
    const auto connected =
        std::count_if(seen.begin(), seen.end(), [](const std::string& e) { return e.rfind("connected", 0) == 0; });
    EXPECT_LE(connected, 200);
    // The odd events are the connected ones, so half the lines get them: each of those heard its newest.
    std::set<std::string> heard;
    for (const std::string& e : seen)
        if (e.rfind("connected", 0) == 0)
            heard.insert(e);
    EXPECT_EQ(heard.size(), static_cast<size_t>(lines / 2));
    EXPECT_EQ(bridge.GetFreeSipLine(), "401");
}

// Garbage from the server is skipped; a connection closed in the middle of an answer ends that call at
// once, and the component comes back by itself. A refused login shows as calls that return nothing.
TEST(NorComComponent, SurvivesGarbageCutAnswersAndARefusedLogin)
{
    TestControlServer server;
    server.addLine("501", 3, 12);
    ASSERT_TRUE(server.start());
    LogCapture log;
    WiredBridge wired(server.address(), {"501"});
    NorCOMCallback& bridge = *wired.bridge;
    // Long enough to tell a call ended by the close from one ended by the timeout, even on a busy machine.
    const int longTimeoutMs = 6000;
    wired.component()->setCallTimeout(longTimeoutMs);
    bridge.Initialize();
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    wired.receiver.take();

    server.sendRaw("this is not json\n{\"jsonrpc\":\"2.0\",\"id\":\n[1,2,3]\n\n"
                   "{\"jsonrpc\":\"2.0\",\"id\":987654,\"result\":1}\n"
                   "{\"jsonrpc\":\"2.0\",\"method\":\"callStateChanged\",\"params\":{\"line\":\"3\"}}\n"
                   "{\"jsonrpc\":\"2.0\",\"method\":\"somethingElse\",\"params\":{}}\n"
                   "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Parse error\"}}\n"
                   "\x01\xff\xfe\n");
    EXPECT_EQ(bridge.GetCOS("501"), 12);
    server.setState(3, 1, NorvelComLib::NorCom::state_connected);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    EXPECT_EQ(wired.receiver.take(), std::vector<std::string>{"connected 501"});
    EXPECT_TRUE(log.contains("Warning: NorCom: ignored a malformed line from the control server"));

    server.closeMidAnswerOnce();
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(bridge.GetCOS("501"), 0);
    EXPECT_LT(clock.elapsed(), longTimeoutMs / 2); // ended by the close, not by the timeout
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.logins() == 2 && wired.component()->isLoggedIn(); }, 15000));
    EXPECT_EQ(bridge.GetCOS("501"), 12);
    // The re-opened line's current state came again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return wired.receiver.count() == 1; }));
    EXPECT_EQ(wired.receiver.take(), std::vector<std::string>{"connected 501"});

    // A line longer than any answer can be is not buffered without end: the connection is dropped.
    server.sendRaw(std::string(2 << 20, 'x'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.logins() == 3 && wired.component()->isLoggedIn(); }, 15000));
    EXPECT_EQ(bridge.GetCOS("501"), 12);

    // Wrong password: Connect gives up within the timeout, lines do not open, nothing hangs.
    WiredBridge refused(server.address(), {"501"}, "wrong");
    clock.restart();
    refused.bridge->Initialize();
    EXPECT_LT(clock.elapsed(), 3 * kTestCallTimeoutMs + 3000);
    EXPECT_FALSE(refused.component()->isLoggedIn());
    EXPECT_EQ(refused.bridge->GetFreeSipLine(), "");
    EXPECT_TRUE(log.contains("Error: NorCOM can't open sip line 501"));
    EXPECT_EQ(server.logins(), 3);

    // No server configured (the settings' default): said so, and nothing waits.
    WiredBridge unset("", {"501"});
    clock.restart();
    unset.bridge->Initialize();
    EXPECT_LT(clock.elapsed(), kTestCallTimeoutMs);
    EXPECT_TRUE(log.contains("Error: NorCom: not a server address: "));
    EXPECT_EQ(unset.bridge->GetCOS("501"), 0);

    // The session ends while garbage pours in: the reader has logged its last by then (the service ends
    // it before its log goes), later calls answer nothing, and connecting again starts a new session.
    std::string garbage;
    for (int i = 0; i < 20000; ++i)
        garbage += "garbage\n";
    server.sendRaw(garbage);
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.contains("Warning: NorCom: ignored a malformed line from the control server"); }));
    refused.bridge->EndExchangeSession(); // still retrying its login
    unset.bridge->EndExchangeSession();   // never had a reader
    bridge.EndExchangeSession();
    const size_t ended = log.lines().size();
    EXPECT_EQ(bridge.GetCOS("501"), 0);
    QTest::qWait(300);
    const std::vector<std::string> after = log.lines();
    EXPECT_EQ(after.size(), ended) << "nothing from the reader once the session is over: "
                                   << (after.size() > ended ? after[ended] : std::string());
    EXPECT_TRUE(wired.component()->Connect(QString::fromStdString(server.address()), QStringLiteral("norvel"),
                                           QStringLiteral("secret")));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    RoutePlatformLogToFacility();
    RegisterNorComComponent();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "NorComTest.moc"

// A line's event handlers may wait more than a second (a callback's leg to find): posting them never
// waits, a line's events keep their order, another line's are not held up, a handler with a newer one
// of its kind queued behind it is skipped, and after Stop nothing that had not started runs.
TEST(LineEventQueue, SlowHandlersHoldUpNeitherThePosterNorOtherLines)
{
    std::mutex mutex;
    std::vector<std::string> ran;
    auto record = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        ran.push_back(what);
    };
    auto seen = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ran;
    };
    LineEventQueue queue;
    std::atomic<bool> first{false};
    queue.Post("201", "connected", [&] {
        first = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        record("201 connected");
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.load(); }, 5000));
    QElapsedTimer clock;
    clock.start();
    queue.Post("201", "idle", [&] { record("201 idle"); });
    queue.Post("201", "connected", [&] { record("201 stale connected"); });
    queue.Post("201", "connected", [&] { record("201 newest connected"); });
    queue.Post("202", "connected", [&] { record("202 connected"); });
    EXPECT_LT(clock.elapsed(), 300) << "posting waited for a handler";
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen().size() == 4; }, 5000));
    EXPECT_EQ(seen(),
              (std::vector<std::string>{"202 connected", "201 connected", "201 idle", "201 newest connected"}));

    std::atomic<bool> started{false};
    queue.Post("201", "idle", [&] {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        record("running at stop");
    });
    queue.Post("201", "connected", [&] { record("pending at stop"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return started.load(); }, 5000));
    queue.Stop();
    queue.Post("202", "connected", [&] { record("after stop"); });
    const auto after = seen();
    EXPECT_EQ(after.back(), "running at stop") << "Stop did not wait for the handler running";
    EXPECT_EQ(std::count(after.begin(), after.end(), "pending at stop"), 0);
    EXPECT_EQ(std::count(after.begin(), after.end(), "after stop"), 0);
}
