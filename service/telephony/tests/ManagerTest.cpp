// The call manager end to end on loopback: SIPp as the subscriber's phone, as a registrar and as a
// line's server; an in-process SIP exchange (the voip library on its own port) whose phones answer
// callbacks and key digits; the private Firebird server behind the callback logic. The test plays the
// PBX bridge through INorCOMService and INorCOMEventsReceiver.
#include "service/core/CallBackQueue.h"
#include "service/core/DBBackend.h"
#include "service/core/INorCOMService.h"
#include "tests/support/LogCapture.h"
#include "service/telephony/MyIVRConnection.h"
#include "service/telephony/MyIVREndPoint.h"
#include "service/telephony/MyManager.h"
#include "service/telephony/MySIPConnection.h"
#include "service/telephony/MySIPEndPoint.h"
#include "tests/support/TestSettings.h"
#include "voip/core/Call.h"
#include "voip/local/LocalEndpoint.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "tests/support/EventLog.h"
#include "tests/support/PromptDocuments.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"


#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using voip::EventLog;

// The PBX bridge as the test drives it: the free line is whatever the test says.
class TestLines : public INorCOMService
{
public:
    virtual ~TestLines() = default;
    int GetCOS(const std::string&) override { return 3; }
    void SetCOS(const std::string& line, int cos) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        cosSet.push_back(line + "=" + std::to_string(cos));
    }
    void ToDialable(std::string&) override {}
    std::string GetFreeSipLine() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return freeLine;
    }
    void SetFreeLine(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        freeLine = line;
    }
    std::vector<std::string> CosSet()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return cosSet;
    }

private:
    std::mutex mutex;
    std::string freeLine;
    std::vector<std::string> cosSet;
};

// The manager with what reaches its logic written down.
class TestManager : public MyManager
{
public:
    explicit TestManager(EventLog& e) : events(e) {}
    ~TestManager() override
    {
        StopCallBacks();
        ShutDownEndpoints(); // while the overrides below still exist
    }
    using MyManager::OnPinEntered;

    void OnIncommingCalls(const std::vector<IncomingCall>& calls) override
    {
        for (const IncomingCall& call : calls)
            events.Add("incoming " + call.callerId);
        MyManager::OnIncommingCalls(calls);
    }
    void PlayOGMIncommingSuccess(void* c) override
    {
        events.Add("play welcome");
        MyManager::PlayOGMIncommingSuccess(c);
    }
    void PlayOGMIncommingQueueFull(void* c) override
    {
        events.Add("play queuefull");
        MyManager::PlayOGMIncommingQueueFull(c);
    }
    void PlayOGMIncommingWrongCid(void* c) override
    {
        events.Add("play wrongcid");
        MyManager::PlayOGMIncommingWrongCid(c);
    }
    void PlayOGMEnterNumber(void* c) override
    {
        events.Add("play enternumber");
        MyManager::PlayOGMEnterNumber(c);
    }
    void PlayOGMEnterPin(void* c) override
    {
        events.Add("play enterpin");
        MyManager::PlayOGMEnterPin(c);
    }
    void PlayOGMWrongPin(void* c) override
    {
        events.Add("play enterpinagain");
        MyManager::PlayOGMWrongPin(c);
    }
    void PlayOGMWrongPinDisconnect(void* c) override
    {
        events.Add("play wrongpin");
        MyManager::PlayOGMWrongPinDisconnect(c);
    }
    void PlayOGMTransferDenied(void* c) override
    {
        events.Add("play denied");
        MyManager::PlayOGMTransferDenied(c);
    }
    void TransferCall(const std::string& destination, void* c) override
    {
        events.Add("transfer " + destination);
        MyManager::TransferCall(destination, c);
    }
    void OnCallBackSucceed(const std::string& number, void* call) override
    {
        events.Add("succeed " + number);
        MyManager::OnCallBackSucceed(number, call);
    }
    void OnCallBackFailed(const std::string& number) override
    {
        events.Add("failed " + number);
        MyManager::OnCallBackFailed(number);
    }
    void OnNoFreeLines(const std::string& number) override
    {
        events.Add("nofreelines " + number);
        MyManager::OnNoFreeLines(number);
    }
    void OnPinEntered(const std::string& callerId, const std::string& pin, void* call) override
    {
        events.Add("pin " + callerId + " " + pin);
        MyManager::OnPinEntered(callerId, pin, call);
    }
    void OnNumberEntered(const std::string& line, const std::string& callerId, const std::string& number,
                         void* call) override
    {
        events.Add("number " + line + " " + callerId + " " + number);
        MyManager::OnNumberEntered(line, callerId, number, call);
    }
    void OnReleased(voip::Connection& connection) override
    {
        if (auto* sip = dynamic_cast<voip::SipConnection*>(&connection))
            events.Add("released sip " + connection.GetRemotePartyNumber() + " " +
                       (dynamic_cast<MySIPConnection*>(sip) ? "own" : "plain") +
                       " rtp=" + std::to_string(sip->GetPacketsSent()));
        MyManager::OnReleased(connection);
    }

private:
    EventLog& events;
};

class ManagerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings = TestSettings(db.server());
        settings.LocalAddress = QStringLiteral("127.0.0.1");
        // SIPp plays phones that call the lines directly, from ports of their own.
        settings.TrustedPeers = {QStringLiteral("127.0.0.1")};
        settings.MaxNumbersInQueue = 5;
        settings.MaxCallBackTries = 2;
        settings.EnterPinTimer = 4;
        settings.EnterPinMaxTries = 2;
        settings.EnterNumberTimer = 4;
        backend.SetSettings(&settings);
        backend.OpenDatabase();
        queue.SetSettings(&settings);
        db.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (1, '20001', "
                "'1111', 4, 'In', 1)");
        db.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (2, '12345', "
                "'1234', 5, 'Five', 1)");
        db.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (3, '123456', "
                "'4321', 6, 'Six', 1)");
        db.exec("INSERT INTO USERS (ID, CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (4, '12399', "
                "'1234', 7, 'Info', 1)");
        db.exec("INSERT INTO BLACKLIST (ID, COS, NUMBER) VALUES (1, 0, '880.*')");
    }
    void TearDown() override
    {
        manager.reset();
        exchange.ShutDownEndpoints();
    }

    // The exchange's SIP side on a port of its own; its phones are "local:<number>".
    void StartExchange()
    {
        exchangeSip = &exchange.AddEndpoint(std::make_unique<voip::SipEndpoint>(exchange));
        phones = &exchange.AddEndpoint(std::make_unique<voip::LocalEndpoint>(exchange));
        phones->SetEventHandler([this](const std::string& e) { events.Add("phone " + e); });
        exchange.AddRouteEntry(".* = local:<dn>");
        for (int attempt = 0; attempt < 5 && !exchangeSip->IsListening(); ++attempt)
            exchangeSip->StartListeners({"127.0.0.1:" + std::to_string(testsupport::FreeUdpPort())});
        ASSERT_TRUE(exchangeSip->IsListening());
    }
    std::string ExchangeServer() const
    {
        return "127.0.0.1:" + std::to_string(exchangeSip->GetListenerPort());
    }

    void StartManager(const std::vector<SipRegistration>& lines)
    {
        settings.sipRegistrations = lines;
        manager = std::make_unique<TestManager>(events);
        manager->SetSettings(&settings);
        manager->SetDBBackend(&backend);
        manager->SetCallBackQueue(&queue);
        manager->SetNorCOMService(&lineService);
        for (int attempt = 0; attempt < 5; ++attempt) {
            servicePort = testsupport::FreeUdpPort();
            settings.ListenAddress = QString::fromStdString("127.0.0.1:" + std::to_string(servicePort));
            manager->Initialize();
            if (manager->SipEndPoint()->IsListening())
                return;
            manager = std::make_unique<TestManager>(events);
            manager->SetSettings(&settings);
            manager->SetDBBackend(&backend);
            manager->SetCallBackQueue(&queue);
            manager->SetNorCOMService(&lineService);
        }
        FAIL() << "the service's SIP listener did not start";
    }

    // The phone's connection of the exchange's event ("phone established <token> <remote>").
    std::shared_ptr<voip::LocalConnection> Phone(const std::string& event)
    {
        std::istringstream in(event);
        std::string word, what, token;
        in >> word >> what >> token;
        return std::dynamic_pointer_cast<voip::LocalConnection>(phones->FindConnection(token));
    }
    std::string Last(const std::string& prefix)
    {
        auto all = events.All();
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            if (it->rfind(prefix, 0) == 0)
                return *it;
        return {};
    }
    // The manager's state offers no event to wait on.
    static bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s)
    {
        return testsupport::WaitFor(condition, timeout, 20ms);
    }
    // Waits until the one IVR leg's dialogue is in state (a caller keys once the prompt is up).
    bool WaitState(const std::string& state)
    {
        return WaitUntil([&] {
            auto tokens = manager->IvrEndPoint()->GetConnectionTokens();
            for (const auto& token : tokens)
                if (auto c = manager->IvrEndPoint()->FindConnectionWithLockAs<MyIVRConnection>(token))
                    if (c->GetVar("dialog.state") == state)
                        return true;
            return false;
        });
    }
    std::string History() const
    {
        std::string out;
        for (const auto& e : events.All())
            out += "  " + e + "\n";
        return out;
    }

    LogCapture log;
    TestDatabase db{TestDatabase::FullSchema};
    CBSrvSettings settings;
    DBBackend backend{db.path()};
    CallBackQueue queue;
    TestLines lineService;
    EventLog events;
    voip::Manager exchange;
    voip::SipEndpoint* exchangeSip = nullptr;
    voip::LocalEndpoint* phones = nullptr;
    std::unique_ptr<TestManager> manager;
    int servicePort = 0;
};

TEST_F(ManagerTest, DocumentsAddressesAndRoutesFollowTheSettings)
{
    // Every document against the layout written out line by line, for a directory and two timers.
    const std::string dir = "/opt/selvane";
    const PromptDocuments d = PromptDocuments::Build(dir, 15, 20);
    namespace t = voip::test;
    EXPECT_EQ(d.welcome, t::WelcomeDocument(dir));
    EXPECT_EQ(d.wrongCid, t::WrongCidDocument(dir));
    EXPECT_EQ(d.queueFull, t::QueueFullDocument(dir));
    EXPECT_EQ(d.wrongPin, t::WrongPinDocument(dir));
    EXPECT_EQ(d.transferDenied, t::TransferDeniedDocument(dir));
    EXPECT_EQ(d.enterPin, t::PinDocument(dir, "ogm4-enterpin.wav", 15));
    EXPECT_EQ(d.enterPinAgain, t::PinDocument(dir, "ogm41-enterpinagain.wav", 15));
    EXPECT_EQ(d.enterNumber, t::EnterNumberDocument(dir, 20));
    EXPECT_EQ(d.waitTransfer, t::WaitTransferDocument(dir));
    EXPECT_EQ(d.transferParty, t::WaitConnectAddress(dir));
    EXPECT_EQ(d.callbackParty, "ivr:" + t::PinDocument(dir, "ogm4-enterpin.wav", 15));
    // A few lines by hand, so the two layouts cannot share one mistake.
    EXPECT_NE(d.enterPin.find("\n                          <property name=\"timeout\" value=\"15s\"/>\n"),
              std::string::npos);
    EXPECT_EQ(d.welcome.substr(0, 51), "<?xml version=\"1.0\"?>\n                        <vxml");
    EXPECT_EQ(d.welcome.back(), '>') << "no line feed after the last line";
    EXPECT_NE(d.wrongPin.find("<var name=\"state\" expr=\"'wrong_pin'\" />  \n"), std::string::npos);
    EXPECT_EQ(d.All().size(), 12u);

    // No line configured: nothing registered, no route, never a free line.
    StartManager({});
    EXPECT_EQ(manager->GetRouteTable().Size(), 0u);
    EXPECT_FALSE(manager->HasFreeLines());
    EXPECT_EQ(manager->Documents().enterPin,
              t::PinDocument(settings.GetApplicationDir(), "ogm4-enterpin.wav", settings.EnterPinTimer));
    manager.reset();

    // Three lines: one route to the IVR per line, then one outward route per line with a server, in order.
    StartManager({{"1001", "a", "127.0.0.1:9"}, {"1002", "b", ""}, {"1003", "c", "127.0.0.2:9"}});
    auto& routes = manager->GetRouteTable();
    EXPECT_EQ(routes.Size(), 5u);
    EXPECT_EQ(routes.Route("sip:1002@127.0.0.1:5060"), "ivr:");
    EXPECT_EQ(routes.Route("0123"), "sip:0123@127.0.0.1:9");
    // A line is the whole user part of the address; a call from the network is never routed back out.
    EXPECT_EQ(routes.Route("sip:1002;user=phone@127.0.0.1"), "ivr:");
    EXPECT_EQ(routes.Route("sip:11002@127.0.0.1:5060"), "");
    EXPECT_EQ(routes.Route("sip:102@127.0.0.1:5060"), "");
    EXPECT_FALSE(manager->HasFreeLines()) << "the exchange reports no line free";
    lineService.SetFreeLine("1002");
    EXPECT_TRUE(manager->HasFreeLines());
}

TEST_F(ManagerTest, RegistersWithDigestAndItsBoundPort)
{
    voip::SippProcess registrar;
    ASSERT_TRUE(registrar.MakeFolder());
    const int registrarPort = testsupport::FreeUdpPort();
    // The listener's port is chosen before the registrar's scenario is written.
    servicePort = testsupport::FreeUdpPort();
    settings.sipRegistrations = {{"1001", "secret", "127.0.0.1:" + std::to_string(registrarPort)}};
    const std::string scenario =
        voip::Scenario("registrar", {{"CONTACT_PORT", std::to_string(servicePort)}}, registrar.Folder());
    ASSERT_TRUE(registrar.Start({"-sf", scenario, "-p", std::to_string(registrarPort), "-m", "1", "-timeout",
                                 "30s", "-timeout_error"}));
    ASSERT_TRUE(testsupport::WaitUntilBound(registrarPort));
    manager = std::make_unique<TestManager>(events);
    manager->SetSettings(&settings);
    manager->SetNorCOMService(&lineService);
    settings.ListenAddress = QString::fromStdString("127.0.0.1:" + std::to_string(servicePort));
    manager->Initialize();
    ASSERT_TRUE(manager->SipEndPoint()->IsListening());
    EXPECT_TRUE(WaitUntil([&] {
        return manager->SipEndPoint()->RegistrationCount("sip:1001@127.0.0.1:" +
                                                         std::to_string(registrarPort)) > 0;
    })) << registrar.Log();
    EXPECT_EQ(registrar.Wait(), 0) << registrar.Log();
}

TEST_F(ManagerTest, IncomingCallsHearTheirAnnouncementAndAreLogged)
{
    StartManager({{"1001", "secret", "127.0.0.1:9"}});
    auto call = [&](const std::string& callerId) {
        voip::SippProcess phone;
        std::vector<std::string> args = {"127.0.0.1:" + std::to_string(servicePort),
                                         "-sf",
                                         voip::Scenario("caller"),
                                         "-s",
                                         "1001",
                                         "-key",
                                         "caller",
                                         callerId,
                                         "-m",
                                         "1",
                                         "-timeout",
                                         "40s",
                                         "-timeout_error"};
        const auto start = Clock::now();
        EXPECT_TRUE(phone.Start(args));
        EXPECT_EQ(phone.Wait(60s), 0) << phone.Log();
        return Clock::now() - start;
    };

    // A subscriber: the welcome, then the service hangs up (1 s pause, the clip, 3 s break); queued,
    // logged 1.
    const auto took = call("20001");
    EXPECT_GE(took, 4s);
    ASSERT_TRUE(events.WaitFor("released sip 20001", 1));
    EXPECT_EQ(events.Count("incoming 20001"), 1u);
    EXPECT_EQ(events.Count("play welcome"), 1u);
    EXPECT_GT(std::stoi(Last("released sip 20001").substr(Last("released sip 20001").find("rtp=") + 4)), 100)
        << "the announcement was sent";
    EXPECT_NE(Last("released sip 20001").find(" own "), std::string::npos)
        << "an incoming leg is the service's own";
    EXPECT_EQ(queue.GetLength(), 1);
    const QString logged = "SELECT COUNT(*) FROM INCOMINGLOG WHERE CALLERID='20001' AND RESULT=1 AND UID=1";
    EXPECT_EQ(db.row(logged).value(0).toInt(), 1);

    // Someone else: the wrong caller ID announcement, not queued, logged 0.
    call("30003");
    ASSERT_TRUE(events.WaitFor("released sip 30003", 1));
    EXPECT_EQ(events.Count("play wrongcid"), 1u);
    EXPECT_EQ(queue.GetLength(), 1);
    EXPECT_EQ(db.row("SELECT COUNT(*) FROM INCOMINGLOG WHERE CALLERID='30003' AND RESULT=0").value(0).toInt(), 1);

    // The queue full: its announcement, logged 2.
    for (const char* waiting : {"1", "2", "3", "4"})
        queue.PutInQueue(waiting);
    call("20001");
    ASSERT_TRUE(events.WaitFor("released sip 20001", 2));
    EXPECT_EQ(events.Count("play queuefull"), 1u);
    EXPECT_EQ(queue.GetLength(), 5);
    EXPECT_EQ(db.row("SELECT COUNT(*) FROM INCOMINGLOG WHERE CALLERID='20001' AND RESULT=2").value(0).toInt(), 1);
    EXPECT_EQ(manager->GetCallCount(), 0u);
}

TEST_F(ManagerTest, CallbackWithPinNumberAndTransfer)
{
    StartExchange();
    StartManager({{"1001", "secret", ExchangeServer()}, {"1002", "secret", "127.0.0.1:9"}});

    // No free line: reported, nothing dialled.
    manager->MakeCallBack("12345");
    ASSERT_TRUE(events.WaitFor("nofreelines 12345", 1, 15s)) << History();
    EXPECT_TRUE(log.contains("Informational: MakeCallFromIVR out of free lines "));
    EXPECT_EQ(manager->GetCallCount(), 0u);

    // Five digits are dialled as they are, on the line the bridge names; the answer alone reports nothing.
    lineService.SetFreeLine("1001");
    manager->MakeCallBack("12345");
    ASSERT_TRUE(events.WaitFor("phone established", 1, 15s)) << History();
    auto phone = Phone(Last("phone established"));
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->GetAddress(), "local:12345");
    EXPECT_EQ(phone->GetRemotePartyNumber(), "1001");
    // Logged by the callback task after the call is set up, which may be after the phone answered.
    EXPECT_TRUE(
        WaitUntil([&] { return log.contains("Informational: MakeCallFromIVR Making call to 12345 from 1001"); }));
    ASSERT_TRUE(WaitUntil([&] { return !manager->OutgoingIvrTokens()["1001"].empty(); })) << History();
    EXPECT_EQ(events.Count("succeed"), 0u);

    // The exchange reports the line connected: exactly one success and the PIN prompt.
    manager->OnSIPCallConnected("1001");
    EXPECT_EQ(events.Count("succeed 12345"), 1u);
    EXPECT_EQ(events.Count("play enterpin"), 1u);
    EXPECT_EQ(manager->OutgoingIvrTokens().count("1001"), 0u);

    // A wrong PIN by RFC 4733 keys: asked again; then the right one: the number is asked for.
    ASSERT_TRUE(phone->SendKeys("9999#"));
    ASSERT_TRUE(events.WaitFor("play enterpinagain", 1)) << History();
    EXPECT_EQ(events.Count("pin 12345 9999"), 1u);
    ASSERT_TRUE(phone->SendKeys("12"));
    ASSERT_TRUE(phone->SendKeys("34#"));
    ASSERT_TRUE(events.WaitFor("play enternumber", 1)) << History();
    EXPECT_EQ(events.Count("pin 12345 1234"), 1u);

    // A blacklisted destination: denied, and the service hangs up.
    ASSERT_TRUE(WaitState("transfer"));
    ASSERT_TRUE(phone->SendKeys("88001#"));
    ASSERT_TRUE(events.WaitFor("play denied", 1)) << History();
    EXPECT_EQ(events.Count("number 1001 12345 88001"), 1u);
    ASSERT_TRUE(events.WaitFor("phone released", 1)) << History();
    EXPECT_EQ(events.Count("transfer "), 0u);
    ASSERT_TRUE(WaitUntil([&] { return manager->GetCallCount() == 0; }));

    // Six digits get the outside-line prefix; the caller ID loses it again.
    manager->MakeCallBack("123456");
    ASSERT_TRUE(events.WaitFor("phone established", 2, 15s)) << History();
    phone = Phone(Last("phone established"));
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->GetAddress(), "local:9123456");
    ASSERT_TRUE(WaitUntil([&] { return !manager->OutgoingIvrTokens()["1001"].empty(); })) << History();
    // The subscriber keys the PIN into the first prompt before the exchange's connected event is
    // handled: the late event counts the success but does not start the prompt again over the entry.
    ASSERT_TRUE(WaitState("enterpin"));
    ASSERT_TRUE(phone->SendKeys("4321#"));
    ASSERT_TRUE(events.WaitFor("play enternumber", 2)) << History();
    EXPECT_EQ(events.Count("pin 123456 4321"), 1u);
    manager->OnSIPCallConnected("1001");
    EXPECT_EQ(events.Count("succeed 123456"), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(MyIVRConnection::kPlayPauseMs + 300));
    ASSERT_TRUE(WaitState("transfer"));

    // An allowed destination: the transfer call goes out on the same line from the wait connect party.
    ASSERT_TRUE(phone->SendKeys("0123#"));
    ASSERT_TRUE(events.WaitFor("transfer 0123", 1)) << History();
    ASSERT_TRUE(events.WaitFor("phone established", 3, 15s)) << History();
    auto destination = Phone(Last("phone established"));
    ASSERT_TRUE(destination);
    EXPECT_EQ(destination->GetAddress(), "local:0123");
    EXPECT_EQ(destination->GetRemotePartyNumber(), "1001") << "the line is the calling party";
    EXPECT_EQ(lineService.CosSet(), std::vector<std::string>{"1001=1"});
    EXPECT_TRUE(log.contains("Informational: Making transfer.. Making call to 0123 from=1001"));
    const std::string transferToken = manager->TransferTokens()["1001"];
    const std::string callbackToken = manager->CallbackTokens()["1001"];
    ASSERT_FALSE(transferToken.empty());
    ASSERT_FALSE(callbackToken.empty());
    EXPECT_NE(transferToken, callbackToken);
    EXPECT_EQ(manager->FindCall(transferToken)->GetConnection(0)->GetAddress(),
              manager->Documents().transferParty)
        << "placed from the transfer party address";
    EXPECT_EQ(manager->FindCall(callbackToken)->GetConnection(1)->GetRemotePartyNumber(), "9123456");
    lineService.SetFreeLine("");
    EXPECT_FALSE(manager->HasFreeLines()) << "the exchange has no line free";
    lineService.SetFreeLine("1001");

    // Connected again for the transfer call: it is cleared; the callback stays up.
    manager->OnSIPCallConnected("1001");
    EXPECT_TRUE(log.contains(
        "Informational: OnSIPCallConnected from NORCOM Cleared call sucessfull on linename=1001"));
    EXPECT_TRUE(manager->TransferTokens()["1001"].empty());
    ASSERT_TRUE(events.WaitFor("phone released", 2)) << History();
    EXPECT_TRUE(manager->FindCall(callbackToken));

    // The line cleared: the callback is cleared a second later.
    const auto disconnected = Clock::now();
    manager->OnSIPCallDisconnected("1001");
    EXPECT_GE(Clock::now() - disconnected, 1s);
    EXPECT_EQ(manager->CallbackTokens().count("1001"), 0u);
    ASSERT_TRUE(events.WaitFor("phone released", 3)) << History();
    ASSERT_TRUE(WaitUntil([&] { return manager->GetCallCount() == 0; }));
    // Nothing pending on the line any more: a disconnected event is a no-op.
    manager->OnSIPCallDisconnected("1001");
    EXPECT_EQ(events.Count("failed"), 0u);
}

TEST_F(ManagerTest, PinTimeoutAndTooManyWrongPins)
{
    StartExchange();
    StartManager({{"1001", "secret", ExchangeServer()}});
    lineService.SetFreeLine("1001");
    manager->MakeCallBack("12345");
    ASSERT_TRUE(events.WaitFor("phone established", 1, 15s)) << History();
    auto phone = Phone(Last("phone established"));
    ASSERT_TRUE(phone);
    ASSERT_TRUE(WaitUntil([&] { return !manager->OutgoingIvrTokens()["1001"].empty(); })) << History();
    manager->OnSIPCallConnected("1001");
    ASSERT_EQ(events.Count("succeed 12345"), 1u);

    // Nothing keyed before the timeout: an empty PIN, counted as the first wrong one.
    ASSERT_TRUE(events.WaitFor("pin 12345 ", 1, 40s)) << History();
    EXPECT_EQ(Last("pin 12345"), "pin 12345 ");
    ASSERT_TRUE(events.WaitFor("play enterpinagain", 1)) << History();
    EXPECT_EQ(events.Count("phone released"), 0u) << "the leg stays up for the next try";

    // The last allowed try is wrong too: the wrong PIN announcement, then the service hangs up.
    ASSERT_TRUE(phone->SendKeys("5555#"));
    ASSERT_TRUE(events.WaitFor("play wrongpin", 1)) << History();
    ASSERT_TRUE(events.WaitFor("phone released", 1, 20s)) << History();
    EXPECT_EQ(events.Count("play enternumber"), 0u);
}

TEST_F(ManagerTest, PinBySipInfo)
{
    voip::SippProcess subscriber;
    ASSERT_TRUE(subscriber.MakeFolder());
    const int port = testsupport::FreeUdpPort();
    const std::string scenario =
        voip::Scenario("subscriber_info", {{"PIN_PAUSE", "4000"}}, subscriber.Folder());
    ASSERT_TRUE(subscriber.Start({"-sf", scenario, "-p", std::to_string(port), "-m", "2", "-timeout", "90s",
                                  "-timeout_error"}));
    ASSERT_TRUE(testsupport::WaitUntilBound(port));
    StartManager({{"1002", "secret", "127.0.0.1:" + std::to_string(port)}});
    lineService.SetFreeLine("1002");
    manager->MakeCallBack("12399");
    ASSERT_TRUE(WaitUntil([&] { return !manager->OutgoingIvrTokens()["1002"].empty(); })) << subscriber.Log();
    manager->OnSIPCallConnected("1002");
    ASSERT_EQ(events.Count("succeed 12399"), 1u);
    ASSERT_TRUE(events.WaitFor("pin 12399 1234", 1, 15s)) << History() << subscriber.Log();
    ASSERT_TRUE(events.WaitFor("play enternumber", 1)) << History();
    // No number keyed: the number document ends the leg, and the subscriber gets its BYE.
    EXPECT_EQ(subscriber.Wait(60s), 0) << subscriber.Log();
    EXPECT_EQ(events.Count("number "), 0u);
}

TEST_F(ManagerTest, UnansweredCallbackIsClearedAndReportedFailed)
{
    StartExchange();
    phones->SetAutoAnswer(false);
    StartManager({{"1001", "secret", ExchangeServer()}});
    lineService.SetFreeLine("1001");
    queue.PutInQueue("12345");
    ASSERT_EQ(queue.Dequeue(), "12345");
    const auto start = Clock::now();
    manager->MakeCallBack("12345");
    ASSERT_TRUE(WaitUntil([&] { return phones->GetConnectionCount() == 1; })) << History();
    ASSERT_TRUE(events.WaitFor("failed 12345", 1, 50s)) << History();
    EXPECT_GE(Clock::now() - start, 32s) << "2 s start delay at least, then 30 s";
    EXPECT_EQ(manager->GetCallCount(), 0u) << "cleared before the failure was reported";
    EXPECT_TRUE(WaitUntil([&] { return phones->GetConnectionCount() == 0; }));
    EXPECT_EQ(events.Count("succeed"), 0u);
    // The test's manager reports the failure before the logic queues the number again.
    EXPECT_TRUE(WaitUntil([&] { return queue.GetLength() == 1; })) << "queued again for its second try";
}

TEST_F(ManagerTest, LogicAndQueueTakeCallsFromManyThreads)
{
    StartManager({});
    // Each thread a caller of its own keying wrong PINs: with two tries allowed, its prompts alternate.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 10; ++i)
                manager->OnPinEntered("5550" + std::to_string(t), "0000", nullptr);
        });
    // Meanwhile numbers are queued, taken and failed from other threads.
    std::atomic<int> taken{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t, &taken] {
            for (int i = 0; i < 300; ++i) {
                const std::string number = std::to_string(t) + "-" + std::to_string(i);
                manager->OnCallBackEnded("nobody");
                queue.PutInQueue(number);
                const std::string next = queue.Dequeue();
                if (!next.empty()) {
                    ++taken;
                    manager->OnCallBackSucceed(next, nullptr);
                }
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(events.Count("play enterpinagain"), 20u);
    EXPECT_EQ(events.Count("play wrongpin"), 20u);
    EXPECT_EQ(taken.load() + queue.GetLength(), 1200);
    EXPECT_EQ(queue.GetLength(), 0);

    // A manager going away stops its callback workers in their start delay instead of leaving them
    // to wake up in a destroyed object.
    manager->MakeCallBack("12345");
    const auto start = Clock::now();
    manager.reset();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(events.Count("nofreelines"), 0u);
}

TEST_F(ManagerTest, LegsWhoseOtherPartyIsGoneAreLeftAlone)
{
    StartManager({});
    // The phone never answers: the leg is cleared before any dialogue starts on it.
    manager->AddEndpoint(std::make_unique<voip::LocalEndpoint>(*manager)).SetAutoAnswer(false);
    std::string token;
    ASSERT_TRUE(manager->SetUpCall(manager->Documents().callbackParty, "local:12345", token, nullptr, 0,
                                   {{voip::kCallingPartyNumber, "1001"}}));
    auto call = manager->FindCall(token);
    ASSERT_TRUE(call);
    auto ivr = std::dynamic_pointer_cast<MyIVRConnection>(call->GetConnection(0));
    ASSERT_TRUE(ivr);
    ASSERT_TRUE(manager->ClearCallSynchronous(token));
    call.reset();
    // A worker may hold the call a moment longer while its last notification returns.
    ASSERT_TRUE(WaitUntil([&] { return !ivr->GetOtherPartyConnection(); }));

    // Late reports about that leg find no line to use: nothing happens, nothing fails.
    manager->OnTransferNumberEntered(*ivr, "0123");
    manager->OnEstablishedOutgoingIVR(*ivr);
    ivr->OnEstablished();
    EXPECT_EQ(events.Count("number "), 0u);
    EXPECT_EQ(events.Count("incoming "), 0u);
    EXPECT_TRUE(manager->OutgoingIvrTokens().empty());

    // Keys collect until a "#", whatever the state; none reaches the logic outside a PIN or number.
    EXPECT_TRUE(ivr->OnUserInputString("12"));
    EXPECT_TRUE(ivr->OnUserInputString("#34#"));
    EXPECT_EQ(ivr->EnteredDigits(), "12#34#");
    EXPECT_EQ(events.Count("pin "), 0u);
    // A connected event for a line with nothing pending polls its window and finds nothing.
    const auto start = Clock::now();
    manager->OnSIPCallConnected("1009");
    EXPECT_GE(Clock::now() - start, 1200ms);
    EXPECT_EQ(events.Count("succeed"), 0u);
    EXPECT_TRUE(log.contains("Debug: finished OnSIPCallConnected from NORCOM on linename=1009"));
}

TEST_F(ManagerTest, TransferWithoutANumberEndsTheCallback)
{
    StartManager({{"1001", "secret", "127.0.0.1:9"}});
    std::string token;
    ASSERT_TRUE(manager->SetUpCall("ivr:", "sip:12345@127.0.0.1:9", token, nullptr, 0,
                                   {{voip::kCallingPartyNumber, "1001"}}));
    auto call = manager->FindCall(token);
    ASSERT_TRUE(call);
    auto leg = std::dynamic_pointer_cast<MySIPConnection>(call->GetConnection(1));
    ASSERT_TRUE(leg) << "the service's legs are its own";
    call.reset();

    // Asked to transfer to "sip:" and nothing after it: no call to nobody, the callback ends.
    EXPECT_TRUE(leg->TransferConnection("sip:"));
    EXPECT_TRUE(log.contains("Warning: Making transfer.. Failed to start call to  from=1001"));
    EXPECT_TRUE(manager->TransferTokens()["1001"].empty());
    EXPECT_TRUE(WaitUntil([&] { return manager->GetCallCount() == 0; }));
}

} // namespace
