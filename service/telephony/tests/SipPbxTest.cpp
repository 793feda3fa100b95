// The SIP-only PBX component's line states and classes of service, from the leg reports a SIP
// endpoint gives: what the bridge would see of a line where the road cannot drive it (holds, busy
// answers, two legs on one line), and the calls its class refuses before they leave.
#include "platform/pbxcontrol/ControlProtocol.h"
#include "service/telephony/SipPbx.h"
#include "voip/core/Manager.h"
#include "voip/sip/SipEndpoint.h"

#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include <string>
#include <vector>

using voip::LegEvent;
using voip::LegReport;

namespace {

// The line states reported; a joined call's comes from the endpoint's worker.
struct States
{
    std::mutex mutex;
    std::vector<std::string> seen;
    void operator()(int line, int call, int state)
    {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::to_string(line) + "/" + std::to_string(call) + ":" + Name(state));
    }
    bool Saw(const std::string& state)
    {
        return testsupport::WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return std::find(seen.begin(), seen.end(), state) != seen.end();
        }, std::chrono::seconds(5), std::chrono::milliseconds(5));
    }
    static const char* Name(int state)
    {
        switch (state) {
        case pbxcontrol::Idle: return "idle";
        case pbxcontrol::Connected: return "connected";
        case pbxcontrol::Ringing: return "ringing";
        case pbxcontrol::Dialing: return "dialing";
        case pbxcontrol::Busy: return "busy";
        case pbxcontrol::Hold: return "hold";
        }
        return "?";
    }
};

LegReport Leg(LegEvent event, uint64_t leg, const std::string& line, int status = 0, bool incoming = false)
{
    LegReport r;
    r.event = event;
    r.leg = leg;
    r.line = line;
    r.status = status;
    r.incoming = incoming;
    r.remote = "1234567";
    return r;
}

class SipPbxTest : public ::testing::Test
{
protected:
    SipPbxTest() : endpoint(manager)
    {
        dialplan::DialPlanConfig plan = dialplan::DefaultDialPlan();
        plan.lines = {{"201", 3}, {"202", 1}};
        pbx = std::make_shared<SipPbx>(plan, std::chrono::milliseconds(0));
        pbx->SetStateSink([this](int l, int c, int s) { states(l, c, s); });
    }
    void Feed(std::initializer_list<LegReport> reports)
    {
        for (const LegReport& r : reports)
            pbx->OnLegReport(endpoint, r);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lock(states.mutex);
        return std::exchange(states.seen, {});
    }

    voip::Manager manager;
    voip::SipEndpoint endpoint; // never started: a join asked of it is only logged
    std::shared_ptr<SipPbx> pbx;
    States states;
};

TEST_F(SipPbxTest, LinesKeepStableIdsAndTheirClassesFromTheDialPlan)
{
    EXPECT_EQ(pbx->OpenLine("201"), 1);
    EXPECT_EQ(pbx->OpenLine("203"), 3); // the plan's lines come first, in its order
    EXPECT_EQ(pbx->OpenLine("201"), 1);
    EXPECT_EQ(pbx->OpenLine(""), 0);
    int cos = -1;
    ASSERT_TRUE(pbx->GetCos(1, cos));
    EXPECT_EQ(cos, 3);
    ASSERT_TRUE(pbx->GetCos(3, cos));
    EXPECT_EQ(cos, 0); // not listed
    EXPECT_FALSE(pbx->GetCos(9, cos));
    EXPECT_FALSE(pbx->SetCos(9, 1));
    EXPECT_FALSE(pbx->SetCos(1, -1));
    // Opening reports the line's state at once, as the exchange does.
    EXPECT_EQ(Take(), (std::vector<std::string>{"1/0:idle", "3/0:idle", "1/0:idle"}));
    EXPECT_EQ(pbx->ToDialable("+7 (495) 123-45-67"), "84951234567");
}

TEST_F(SipPbxTest, ClassesRefuseCallsAboveTheLineBeforeTheyLeave)
{
    pbx->OpenLine("202"); // class 1: city, not national
    EXPECT_EQ(pbx->AdmitOutgoing("202", "97654321"), 0);
    EXPECT_EQ(pbx->AdmitOutgoing("202", "984951234567"), 403);
    EXPECT_EQ(pbx->AdmitOutgoing("202", "102"), 0);
    EXPECT_EQ(pbx->AdmitOutgoing("201", "9810441234567"), 0);
    // A class set by the service counts from the next call.
    ASSERT_TRUE(pbx->SetCos(2, 2));
    EXPECT_EQ(pbx->AdmitOutgoing("202", "984951234567"), 0);
    EXPECT_EQ(pbx->AdmitOutgoing("202", "9810441234567"), 403);
    // A line nobody named starts at 0: only internal numbers.
    EXPECT_EQ(pbx->AdmitOutgoing("299", "97654321"), 403);
    EXPECT_EQ(pbx->AdmitOutgoing("299", "101"), 0);
}

TEST_F(SipPbxTest, LineStatesFollowTheLegsAsTheExchangeReportsThem)
{
    pbx->OpenLine("201");
    Take();
    // A callback that rings and is answered, a transfer call placed and answered: the join, after which
    // the line reports the second call connected; it then holds that call only, and is idle once the
    // service has cleared its leg.
    Feed({Leg(LegEvent::Placed, 10, "201"), Leg(LegEvent::Ringing, 10, "201"), Leg(LegEvent::Answered, 10, "201"),
          Leg(LegEvent::Placed, 11, "201"), Leg(LegEvent::Answered, 11, "201")});
    ASSERT_TRUE(states.Saw("1/11:connected"));
    Feed({Leg(LegEvent::Released, 11, "201"), Leg(LegEvent::Released, 10, "201")});
    EXPECT_EQ(Take(), (std::vector<std::string>{"1/10:dialing", "1/10:ringing", "1/10:connected", "1/11:dialing",
                                                "1/11:connected", "1/11:idle"}));

    // Busy and hold, and a line with two legs is idle only when both are gone.
    Feed({Leg(LegEvent::Placed, 20, "201"), Leg(LegEvent::Refused, 20, "201", 486), Leg(LegEvent::Released, 20, "201"),
          Leg(LegEvent::Offered, 21, "201", 0, true), Leg(LegEvent::Answered, 21, "201", 0, true),
          Leg(LegEvent::Hold, 21, "201"), Leg(LegEvent::Resumed, 21, "201"), Leg(LegEvent::Placed, 22, "201"),
          Leg(LegEvent::Refused, 22, "201", 480), Leg(LegEvent::Released, 22, "201"),
          Leg(LegEvent::Released, 21, "201")});
    EXPECT_EQ(Take(), (std::vector<std::string>{"1/20:dialing", "1/20:busy", "1/20:idle", "1/21:ringing",
                                                "1/21:connected", "1/21:hold", "1/21:connected", "1/22:dialing",
                                                "1/21:idle"}));

    // An incoming call answered by the service is no callback: a call placed afterwards is not joined
    // with it, and the next answered one is.
    Feed({Leg(LegEvent::Offered, 30, "201", 0, true), Leg(LegEvent::Answered, 30, "201", 0, true),
          Leg(LegEvent::Placed, 31, "201"), Leg(LegEvent::Answered, 31, "201"), Leg(LegEvent::Released, 30, "201"),
          Leg(LegEvent::Released, 31, "201")});
    EXPECT_EQ(Take(), (std::vector<std::string>{"1/30:ringing", "1/30:connected", "1/31:dialing", "1/31:connected",
                                                "1/31:idle"}));
    // Lines not opened by the service report nothing.
    Feed({Leg(LegEvent::Placed, 40, "202"), Leg(LegEvent::Released, 40, "202")});
    EXPECT_TRUE(Take().empty());
}

} // namespace
