// The dial plan: routes by length, prefix and class, the dialable form, and a dial-plan file of its
// own with its lines' classes and its faults.
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
    EXPECT_EQ(plan.LineCos("201"), 0); // the built-in plan lists no lines
}

TEST(DialPlanTest, FileOfItsOwnWithLinesAndItsFaults)
{
    // The shipped example: the lines at 3, a line not listed at 0.
    DialPlanConfig example;
    std::string error;
    ASSERT_TRUE(LoadDialPlan(SELVANE_DIALPLAN_EXAMPLE, example, error)) << error;
    DialPlan shipped(example);
    EXPECT_EQ(shipped.LineCos("201"), 3);
    EXPECT_EQ(shipped.LineCos("202"), 3);
    EXPECT_EQ(shipped.LineCos("203"), 0);
    EXPECT_EQ(shipped.Route(shipped.LineCos("201"), "9810442079460000").status, 0);
    EXPECT_EQ(shipped.Route(shipped.LineCos("203"), "91234567").status, 403);
    EXPECT_EQ(shipped.ToDialable("+7 (495) 123-45-67"), "84951234567");

    // Every group given replaces what the configuration had, read over the built-in plan.
    DialPlanConfig config = DefaultDialPlan();
    ASSERT_TRUE(ParseDialPlan("; a plan of another country\n"
                              "[dialplan]\noutside_prefix = 0\ninternal_digits = 3\ninternal_cos = 1\n"
                              "[classes]\nmobile = 2 7[0-9]{9}\n"
                              "[dialable]\n^\\+44 = 0\n[ ] =\n"
                              "[lines]\n201 = 3\n lobby = 0 \n",
                              config, error))
        << error;
    DialPlan plan(config);
    EXPECT_EQ(plan.Route(0, "123").status, 403); // internal, below internal_cos
    EXPECT_EQ(plan.Route(1, "123").status, 0);
    EXPECT_EQ(plan.Route(3, "1234").status, 404);        // no longer internal, not the prefix
    EXPECT_EQ(plan.Route(1, "07123456789").status, 403); // below the class's minimum
    RouteDecision atMinimum = plan.Route(2, "07123456789");
    EXPECT_EQ(atMinimum.status, 0);
    EXPECT_TRUE(atMinimum.outside);
    EXPECT_EQ(atMinimum.number, "7123456789");
    EXPECT_EQ(atMinimum.className, "mobile");
    EXPECT_EQ(plan.Route(3, "084951234567").status, 404); // the built-in classes are gone
    EXPECT_EQ(plan.ToDialable("+44 712 345 6789"), "07123456789");
    EXPECT_EQ(plan.ToDialable("+7 495"), "+7495"); // the built-in rules are gone too
    EXPECT_EQ(plan.LineCos("201"), 3);
    EXPECT_EQ(plan.LineCos("lobby"), 0);
    EXPECT_EQ(config.lines.size(), 2u);

    // A file without a group keeps that part of what it is read over; [lines] given replaces them all.
    ASSERT_TRUE(ParseDialPlan("[dialplan]\noutside_prefix = 8\n[lines]\n203 = 1\n", config, error)) << error;
    EXPECT_EQ(config.classes.size(), 1u);
    EXPECT_EQ(config.internalMaxDigits, 3);
    EXPECT_EQ(DialPlan(config).LineCos("201"), 0);
    EXPECT_EQ(DialPlan(config).LineCos("203"), 1);

    // Faults name their line, and nothing of a faulty file is taken.
    struct Fault
    {
        std::string text;
        std::string line;
    } faults[] = {
        {"[lines]\n201 = 3\n202 = -1\n", "line 3"},
        {"[lines]\n201 = three\n", "line 2"},
        {"[lines]\n201 = 3\n\n201 = 2\n", "line 4"},
        {"[lines]\n201 =\n", "line 2"},
        {"[dialplan]\ninternal_digits = 0\n", "line 2"},
        {"[dialplan]\nextensions = 5\n", "line 2"},
        {"[classes]\ncity = 1 [0-9\n", "line 2"},
        {"[classes]\ncity = [0-9]+\n", "line 2"},
        {"[dialable]\n(+ = 0\n", "line 2"},
        {"[lines]\n201 = 1\n[extensions]\n201 = line 201 3\n", "line 3"},
        {"outside_prefix = 9\n", "line 1"},
        {"[lines\n", "line 1"},
    };
    for (const Fault& f : faults) {
        error.clear();
        EXPECT_FALSE(ParseDialPlan(f.text, config, error)) << f.text;
        EXPECT_EQ(error.rfind(f.line + ": ", 0), 0u) << f.text << " gave " << error;
    }
    EXPECT_EQ(config.lines.size(), 1u);
    EXPECT_EQ(config.outsidePrefix, "8");
    // An exchange's file is not a dial plan: the message says what one holds.
    EXPECT_FALSE(ParseDialPlan("[exchange]\nsip = 127.0.0.1\n", config, error));
    EXPECT_NE(error.find("unknown group [exchange]"), std::string::npos) << error;
    EXPECT_NE(error.find("[lines]"), std::string::npos) << error;

    EXPECT_FALSE(LoadDialPlan("/nonexistent/dialplan.ini", config, error));
    EXPECT_NE(error.find("/nonexistent/dialplan.ini"), std::string::npos) << error;
}

} // namespace
} // namespace dialplan
