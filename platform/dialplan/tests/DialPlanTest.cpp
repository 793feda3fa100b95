// The dial plan: routes by length, prefix and class, and the dialable form.
#include "platform/dialplan/DialPlan.h"

#include <gtest/gtest.h>

namespace dialplan {
namespace {

TEST(DialPlanTest, BuiltInPlanRoutesByLengthPrefixAndClass)
{
    DialPlan plan(DefaultDialPlan());
    struct Case
    {
        int cos;
        std::string dialled;
        int status;
        std::string number;
    } cases[] = {
        {0, "102", 0, "102"},
        {0, "555", 0, "555"},
        {0, "91234567", 403, ""},
        {1, "91234567", 0, "1234567"},
        {1, "984951234567", 403, ""},
        {2, "984951234567", 0, "84951234567"},
        {2, "9810442079460000", 403, ""},
        {3, "9810442079460000", 0, "810442079460000"},
        {3, "812345678", 404, ""},
        {3, "9123", 0, "9123"}, // 4 digits: internal
        {3, "9abc", 404, ""},
        {3, "", 404, ""},
        {3, "90000001", 404, ""}, // no class
    };
    for (const Case& c : cases) {
        RouteDecision d = plan.Route(c.cos, c.dialled);
        EXPECT_EQ(d.status, c.status) << c.dialled << " at class " << c.cos;
        if (c.status == 0) {
            EXPECT_EQ(d.number, c.number) << c.dialled;
        }
    }
    EXPECT_EQ(plan.Route(2, "984951234567").className, "national");
    EXPECT_TRUE(plan.Route(2, "984951234567").outside);
    EXPECT_EQ(plan.ToDialable("+7 (495) 123-45-67"), "84951234567");
    EXPECT_EQ(plan.ToDialable("8 495 1234567"), "84951234567");
    EXPECT_EQ(plan.ToDialable(""), "");
}

} // namespace
} // namespace dialplan
