// The IVR party in real calls of the call model, against an in-process party: documents start on
// establishment, keys reach the field, transfers reach the other party, dialogue ends end the leg.
#include "voip/ivr/IvrEndpoint.h"
#include "voip/core/Call.h"
#include "voip/core/Manager.h"
#include "tests/support/EventLog.h"
#include "tests/support/PromptDocuments.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace voip {
namespace {

using namespace std::chrono_literals;

const std::string kDir(SELVANE_OGM_DIR, std::string(SELVANE_OGM_DIR).size() - 4);

// A telephone in the process: answers at once, keys digits, accepts transfers, pulls the IVR's audio.
class Phone : public Connection
{
public:
    Phone(Call& call, Endpoint& endpoint, const std::string& token, const std::string& address,
          EventLog& events)
        : Connection(call, endpoint, token, address, 0, {}), events_(events)
    {
    }
    void OnEstablished() override { events_.Add("phone established"); }
    bool TransferConnection(const std::string& destination) override
    {
        events_.Add("transfer " + destination);
        return acceptTransfer;
    }
    void OnReleased() override { events_.Add("phone released"); }
    void Key(const std::string& keys) { DeliverUserInput(keys); }

    bool acceptTransfer = true;

private:
    EventLog& events_;
};

class PhoneEndpoint : public Endpoint
{
public:
    PhoneEndpoint(Manager& manager, EventLog& events) : Endpoint(manager, "phone"), events_(events) {}
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned,
                                                 const StringOptions&) override
    {
        return std::make_shared<Phone>(call, *this, token, address, events_);
    }

private:
    EventLog& events_;
};

// As the service does: keys collected but not passed on; the end keeps the leg for a PIN.
class KeepingIvr : public IvrConnection
{
public:
    KeepingIvr(Call& call, IvrEndpoint& endpoint, const std::string& token, const std::string& address,
               EventLog& events)
        : IvrConnection(call, endpoint, token, address, 0, {}), events_(events)
    {
    }
    bool OnUserInputString(const std::string& value) override
    {
        events_.Add("ivr input " + value);
        return passKeys ? IvrConnection::OnUserInputString(value) : true;
    }
    void OnEndDialog() override
    {
        events_.Add("end state=" + GetVar("dialog.state") + " pin=" + GetVar("dialog.pin_code") + " " +
                    VxmlEndName(GetDialogEndReason()));
        if (GetVar("dialog.state") != "enterpin")
            IvrConnection::OnEndDialog();
    }
    bool passKeys = true;

private:
    EventLog& events_;
};

class KeepingIvrEndpoint : public IvrEndpoint
{
public:
    KeepingIvrEndpoint(Manager& manager, EventLog& events) : IvrEndpoint(manager), events_(events) {}
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void*,
                                                 const std::string& address, unsigned,
                                                 const StringOptions&) override
    {
        return std::make_shared<KeepingIvr>(call, *this, token, address, events_);
    }

private:
    EventLog& events_;
};

class IvrCall : public ::testing::Test
{
protected:
    IvrCall()
    {
        manager.AddEndpoint(std::make_unique<PhoneEndpoint>(manager, events));
        ivr = &manager.AddEndpoint(std::make_unique<KeepingIvrEndpoint>(manager, events));
    }
    ~IvrCall() override { manager.ShutDownEndpoints(); }

    // Calls the IVR at address from a phone; returns the call once established.
    std::shared_ptr<Call> Dial(const std::string& address)
    {
        std::string token;
        EXPECT_TRUE(manager.SetUpCall("phone:1001", address, token));
        EXPECT_TRUE(events.WaitFor("phone established"));
        return manager.FindCall(token);
    }
    std::shared_ptr<Phone> PhoneOf(Call& call)
    {
        return std::dynamic_pointer_cast<Phone>(call.GetConnection(0));
    }
    std::shared_ptr<KeepingIvr> IvrOf(Call& call)
    {
        return std::dynamic_pointer_cast<KeepingIvr>(call.GetConnection(1));
    }

    Manager manager;
    EventLog events;
    IvrEndpoint* ivr = nullptr;
};

TEST_F(IvrCall, AnAddressWithADocumentRunsItAndTheDisconnectClearsTheCall)
{
    auto call = Dial("ivr:" + test::WelcomeDocument(kDir));
    ASSERT_TRUE(call);
    auto source = IvrOf(*call)->GetAudioSource();
    ASSERT_TRUE(source);
    int16_t frame[kFrameSamples];
    bool sound = false;
    // Pulled at the media's pace: the IVR's own establishment runs just after the phone's.
    for (int i = 0; i < 100 && !sound; ++i) {
        std::this_thread::sleep_for(20ms);
        source->ReadFrame(frame);
        sound = std::any_of(frame, frame + kFrameSamples, [](int16_t s) { return s != 0; });
    }
    EXPECT_TRUE(sound) << "the welcome announcement reaches the phone's media";
    ASSERT_TRUE(events.WaitFor("phone released"));
    EXPECT_EQ(events.Count("end state= pin= disconnected"), 1u);
    EXPECT_TRUE(call->WaitCleared(5s));
}

TEST_F(IvrCall, AnEmptyAddressRunsNothingUntilADocumentIsStarted)
{
    auto call = Dial("ivr:");
    ASSERT_TRUE(call);
    auto connection = IvrOf(*call);
    EXPECT_EQ(connection->GetInitialDocument(), "");
    EXPECT_FALSE(connection->IsDialogueRunning());

    // The keys reach the field; the enter-PIN end keeps the leg up.
    ASSERT_TRUE(connection->StartVXML(
        "<vxml><form><var name='state' expr=\"'enterpin'\"/><field name='d'><grammar>terminators=#</grammar>"
        "</field><filled><var name='pin_code' expr='d'/></filled></form></vxml>"));
    auto phone = PhoneOf(*call);
    for (const char* key : {"1", "2", "3", "4", "#"})
        phone->Key(key);
    ASSERT_TRUE(events.WaitFor("end state=enterpin pin=1234 completed"));
    EXPECT_EQ(events.Count("ivr input #"), 1u);
    EXPECT_TRUE(call->IsEstablished()) << "the override kept the leg";

    // Keys the override keeps to itself never reach the field: the timeout runs.
    connection->passKeys = false;
    ASSERT_TRUE(connection->StartVXML(test::PinDocument(kDir, "absent.wav", 1)));
    phone->Key("5");
    ASSERT_TRUE(events.WaitFor("ivr input 5"));
    EXPECT_EQ(connection->GetVar("dialog.pin_code"), "");
    connection->Release();
    EXPECT_TRUE(call->WaitCleared(5s));
}

TEST_F(IvrCall, TheTransferReachesTheOtherParty)
{
    auto call = Dial("ivr:");
    ASSERT_TRUE(call);
    auto connection = IvrOf(*call);
    connection->SetVar("transfer.transfer_num", "0123");
    ASSERT_TRUE(connection->StartVXML(test::WaitTransferDocument(kDir)));
    ASSERT_TRUE(events.WaitFor("transfer sip:0123"));
    EXPECT_TRUE(connection->IsDialogueRunning()) << "waiting while the other party transfers";
    EXPECT_EQ(connection->GetVar("dialog.state"), "do_transfer");

    // A refused transfer lets the dialogue go on to its end, which ends the leg.
    PhoneOf(*call)->acceptTransfer = false;
    ASSERT_TRUE(connection->StartVXML("<vxml><form><transfer dest='sip:77'/></form></vxml>"));
    ASSERT_TRUE(events.WaitFor("end state= pin= completed"));
    EXPECT_TRUE(call->WaitCleared(5s));
}

TEST_F(IvrCall, AMalformedDocumentEndsTheLeg)
{
    std::string token;
    ASSERT_TRUE(manager.SetUpCall("phone:1001", "ivr:<vxml><form><audio src='file:/x'>unclosed</form></vxml>",
                                  token));
    ASSERT_TRUE(events.WaitFor("end state= pin= failed"));
    EXPECT_TRUE(events.WaitFor("phone released"));
}

TEST_F(IvrCall, TheIvrCanCallOutWithTheDocumentOfItsAddress)
{
    std::string address = test::WaitConnectAddress(kDir);
    std::string token;
    ASSERT_TRUE(manager.SetUpCall(address, "phone:2002", token));
    ASSERT_TRUE(events.WaitFor("phone established"));
    auto call = manager.FindCall(token);
    ASSERT_TRUE(call);
    auto connection = std::dynamic_pointer_cast<KeepingIvr>(call->GetConnection(0));
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->GetInitialDocument().rfind("<?xml version=\"1.0\"?>\n", 0), 0u);
    EXPECT_TRUE(connection->IsDialogueRunning());
    manager.ClearCallSynchronous(token);
    EXPECT_FALSE(connection->IsDialogueRunning()) << "a released leg's dialogue stops";
}

} // namespace
} // namespace voip
