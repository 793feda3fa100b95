// Calls through the exchange between real SIP telephones on the loopback: registration, routing
// by the dial plan, relayed audio and keys, the line states a control client sees, and the join.
#include "exchange/tests/ExchangeHarness.h"

#include "exchange/SipSwitch.h"
#include "voip/media/RtpRelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace exchange::test {
namespace {

class ExchangeCallTest : public ExchangeFixture
{
protected:
    // Media flows into the call's leg: more packets than now arrive.
    static bool MediaFlows(const Phone& phone, const std::string& token)
    {
        uint64_t before = phone.Received(token);
        return WaitFor([&] { return phone.Received(token) >= before + 10; });
    }
    static bool KeysArrive(Phone& from, const std::string& fromToken, Phone& to, const std::string& toToken,
                           const std::string& keys)
    {
        auto sender = from.Local(fromToken);
        auto receiver = to.Local(toToken);
        if (!sender || !receiver)
            return false;
        std::string before = receiver->ReceivedInput();
        sender->SendKeys(keys);
        return WaitFor([&] { return receiver->ReceivedInput() == before + keys; });
    }
};

TEST_F(ExchangeCallTest, RegistrationIsRefusedWithAWrongPassword)
{
    Start();
    Phone wrong(*pbx, "101", "not-101");
    Phone unknown(*pbx, "777", "777");
    Phone right(*pbx, "102", "102");
    ASSERT_TRUE(right.Registered());
    EXPECT_TRUE(pbx->Sip().IsRegistered("102"));
    // The refusals were answered before the good registration went through; they stay refused.
    EXPECT_FALSE(wrong.Registered(std::chrono::seconds(1)));
    EXPECT_FALSE(pbx->Sip().IsRegistered("101"));
    EXPECT_FALSE(pbx->Sip().IsRegistered("777"));
}

TEST_F(ExchangeCallTest, PhoneToPhoneInsideAndOutsideWithClassesOfService)
{
    Start();
    auto caller = Register("102"); // class of service 3
    auto low = Register("101");    // class of service 0
    auto outside = Register("1234567");

    // Internal: audio both ways and keys passed through, hang-up reaches the other side.
    std::string token = caller->Dial("101");
    ASSERT_TRUE(caller->WaitEstablished(token));
    std::string answered = low->WaitCall();
    ASSERT_FALSE(answered.empty());
    EXPECT_TRUE(MediaFlows(*caller, token));
    EXPECT_TRUE(MediaFlows(*low, answered));
    EXPECT_TRUE(KeysArrive(*caller, token, *low, answered, "159#"));
    EXPECT_TRUE(KeysArrive(*low, answered, *caller, token, "*0"));
    // The called party is shown the caller's number.
    EXPECT_EQ(low->Leg(answered)->GetRemotePartyNumber(), "102");
    caller->Manager().ClearCall(token);
    EXPECT_TRUE(low->WaitGone(answered));
    EXPECT_EQ(low->WaitRelease(), "remote user");
    EXPECT_EQ(caller->WaitRelease(), "local user");

    // Outside: the prefix 9, a phone registered under the outside number.
    token = caller->Dial("91234567");
    ASSERT_TRUE(caller->WaitEstablished(token));
    answered = outside->WaitCall();
    ASSERT_FALSE(answered.empty());
    EXPECT_EQ(outside->Leg(answered)->GetRemotePartyNumber(), "102");
    EXPECT_TRUE(MediaFlows(*outside, answered));
    EXPECT_TRUE(MediaFlows(*caller, token));
    EXPECT_TRUE(KeysArrive(*outside, answered, *caller, token, "7"));
    outside->Manager().ClearCall(answered);
    EXPECT_TRUE(caller->WaitGone(token));
    EXPECT_EQ(caller->WaitRelease(), "remote user");
    outside->WaitRelease();

    // A class of service too low is refused (403); setCOS lets the very next call through.
    low->Dial("91234567");
    EXPECT_EQ(low->WaitRelease(), "refused");
    int line = control.OpenLine("101");
    ASSERT_GT(line, 0);
    ASSERT_TRUE(control.Request("setCOS", {{"line", line}, {"cos", 1}}).value("result").toBool());
    token = low->Dial("91234567");
    EXPECT_TRUE(low->WaitEstablished(token));
    answered = outside->WaitCall();
    EXPECT_FALSE(answered.empty());
    low->Manager().ClearCall(token);
    EXPECT_EQ(low->WaitRelease(), "local user");
    outside->WaitRelease();
    // National numbers still need more.
    low->Dial("984951234567");
    EXPECT_EQ(low->WaitRelease(), "refused");

    // Unknown numbers (404), inside and outside with no phone and no trunk.
    low->Dial("555");
    EXPECT_EQ(low->WaitRelease(), "unreachable");
    low->Dial("97654321");
    EXPECT_EQ(low->WaitRelease(), "unreachable");
    EXPECT_TRUE(WaitFor([&] { return pbx->Sip().CallCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return pbx->Relay().PortCount() == 0; })) << "relay ports left open";
}

TEST_F(ExchangeCallTest, LineStatesForCallsFromAndToALineAndABusyAnswer)
{
    // Outside numbers nobody registered go to a SIPp trunk that answers busy.
    voip::SippProcess trunk;
    int trunkPort = testsupport::FreeUdpPort();
    ASSERT_TRUE(trunk.Start({"-sf", voip::Scenario("sip_uas_busy"), "-p", std::to_string(trunkPort), "-m",
                             "1", "-timeout", "30s", "-timeout_error"}));
    ASSERT_TRUE(testsupport::WaitUntilBound(trunkPort));
    ExchangeConfig config = TestConfig();
    config.trunk = "127.0.0.1:" + std::to_string(trunkPort);
    Start(config);

    auto service = Register("201");
    auto phone = Register("102");
    int line = control.OpenLine("201");
    ASSERT_GT(line, 0);
    EXPECT_EQ(StatesUntil(line, kIdle), std::vector<int>{kIdle});

    // From the line: dialing, ringing while the phone rings, connected, idle after hang-up.
    phone->Local().SetAutoAnswer(false);
    std::string token = service->Dial("102");
    EXPECT_EQ(StatesUntil(line, kRinging), (std::vector<int>{kDialing, kRinging}));
    std::string ringing;
    ASSERT_TRUE(WaitFor([&] { return !(ringing = phone->Calls().empty() ? "" : phone->Calls()[0]).empty(); }));
    ASSERT_TRUE(WaitFor([&] { return phone->Local(ringing) != nullptr; }));
    phone->Local(ringing)->Answer();
    EXPECT_EQ(StatesUntil(line, kConnected), std::vector<int>{kConnected});
    EXPECT_TRUE(service->WaitEstablished(token));
    phone->Manager().ClearCall(ringing);
    EXPECT_EQ(StatesUntil(line, kIdle), std::vector<int>{kIdle});
    EXPECT_TRUE(service->WaitGone(token));

    // To the line: ringing, connected, idle.
    service->Local().SetAutoAnswer(false);
    token = phone->Dial("201");
    EXPECT_EQ(StatesUntil(line, kRinging), std::vector<int>{kRinging});
    std::string atLine;
    ASSERT_TRUE(WaitFor([&] {
        auto calls = service->Calls();
        return !calls.empty() && service->Local(atLine = calls[0]) != nullptr;
    }));
    service->Local(atLine)->Answer();
    EXPECT_EQ(StatesUntil(line, kConnected), std::vector<int>{kConnected});
    ASSERT_TRUE(phone->WaitEstablished(token));
    phone->Manager().ClearCall(token);
    EXPECT_EQ(StatesUntil(line, kIdle), std::vector<int>{kIdle});

    // The line gives up while the phone rings: the phone stops ringing, the line is idle.
    token = service->Dial("102");
    EXPECT_EQ(StatesUntil(line, kRinging), (std::vector<int>{kDialing, kRinging}));
    ASSERT_TRUE(WaitFor([&] { return !phone->Calls().empty(); }));
    service->Manager().ClearCall(token);
    EXPECT_EQ(StatesUntil(line, kIdle), std::vector<int>{kIdle});
    EXPECT_TRUE(WaitFor([&] { return phone->Calls().empty(); }));

    // A busy answer: dialing, busy, then idle; the caller hears busy.
    service->Dial("97654321");
    EXPECT_EQ(StatesUntil(line, kIdle), (std::vector<int>{kDialing, kBusy, kIdle}));
    std::string reason;
    do
        reason = service->WaitRelease(); // the calls above first
    while (!reason.empty() && reason != "busy");
    EXPECT_EQ(reason, "busy");
    EXPECT_EQ(trunk.Wait(std::chrono::seconds(20)), 0) << trunk.Log();
}

TEST_F(ExchangeCallTest, ALinePuttingItsPeerOnHoldReportsHold)
{
    Start();
    auto phone = Register("102");
    int line = control.OpenLine("201");
    ASSERT_GT(line, 0);
    StatesUntil(line, kIdle);
    // SIPp plays line 201: a call, a sendonly re-INVITE, a sendrecv one, BYE.
    voip::SippProcess sipp;
    ASSERT_TRUE(sipp.Start({"-sf", std::string(SELVANE_EXCHANGE_SIPP_DIR) + "/exchange_line_hold.xml", "-s", "102",
                            pbx->SipHost() + ":" + std::to_string(pbx->SipPort()), "-m", "1", "-timeout",
                            "30s", "-timeout_error"}));
    std::vector<int> states = StatesUntil(line, kHold);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), kDialing);
    EXPECT_EQ(states[states.size() - 2], kConnected);
    EXPECT_EQ(StatesUntil(line, kIdle), (std::vector<int>{kConnected, kIdle}));
    EXPECT_EQ(sipp.Wait(std::chrono::seconds(20)), 0) << sipp.Log();
    EXPECT_TRUE(WaitFor([&] { return phone->Calls().empty(); }));
}

TEST_F(ExchangeCallTest, CallbackJoinedWithItsTransferCall)
{
    Start();
    auto service = Register("201");
    auto subscriber = Register("84951234567");
    auto destination = Register("102");
    int line = control.OpenLine("201");
    ASSERT_GT(line, 0);

    for (bool subscriberHangsUp : {false, true}) {
        SCOPED_TRACE(subscriberHangsUp ? "the subscriber hangs up" : "the destination hangs up");
        // The callback: the line calls the subscriber, who answers.
        std::string callback = service->Dial("984951234567");
        ASSERT_TRUE(service->WaitEstablished(callback));
        std::string atSubscriber = subscriber->WaitCall();
        ASSERT_FALSE(atSubscriber.empty());
        EXPECT_EQ(StatesUntil(line, kConnected).back(), kConnected);
        EXPECT_TRUE(KeysArrive(*subscriber, atSubscriber, *service, callback, "12"));

        // The transfer call from the same line; on its answer the far parties are joined.
        std::string transfer = service->Dial("102");
        ASSERT_TRUE(service->WaitEstablished(transfer));
        std::string atDestination = destination->WaitCall();
        ASSERT_FALSE(atDestination.empty());
        EXPECT_EQ(StatesUntil(line, kConnected), (std::vector<int>{kDialing, kConnected}));

        // Subscriber and destination hear each other; the line's own legs hear nothing more.
        EXPECT_TRUE(KeysArrive(*subscriber, atSubscriber, *destination, atDestination, "42"));
        EXPECT_TRUE(KeysArrive(*destination, atDestination, *subscriber, atSubscriber, "7#"));
        EXPECT_EQ(service->Local(callback)->ReceivedInput(), "12");
        EXPECT_EQ(service->Local(transfer)->ReceivedInput(), "");
        EXPECT_TRUE(MediaFlows(*subscriber, atSubscriber));
        EXPECT_TRUE(MediaFlows(*destination, atDestination));

        // The service clears its second leg: the line is idle, the parties still talk.
        service->Manager().ClearCall(transfer);
        EXPECT_EQ(StatesUntil(line, kIdle), std::vector<int>{kIdle});
        // Then its first leg, a second later in the service; no state follows for it.
        service->Manager().ClearCall(callback);
        EXPECT_TRUE(service->WaitGone(callback));
        EXPECT_TRUE(KeysArrive(*subscriber, atSubscriber, *destination, atDestination, "5"));

        // Either far party's hang-up releases the other.
        if (subscriberHangsUp) {
            subscriber->Manager().ClearCall(atSubscriber);
            EXPECT_TRUE(destination->WaitGone(atDestination));
        } else {
            destination->Manager().ClearCall(atDestination);
            EXPECT_TRUE(subscriber->WaitGone(atSubscriber));
        }
        EXPECT_TRUE(WaitFor([&] { return pbx->Sip().CallCount() == 0; }));
        EXPECT_TRUE(WaitFor([&] { return pbx->Relay().PortCount() == 0; }));
        control.Request("getCOS", {{"line", line}}); // reads whatever was sent before
        EXPECT_TRUE(control.TakeStates(line).empty()) << "a state after the line went idle";
        subscriber->WaitRelease();
        destination->WaitRelease();
        service->WaitRelease();
        service->WaitRelease();
    }
}

} // namespace
} // namespace exchange::test
