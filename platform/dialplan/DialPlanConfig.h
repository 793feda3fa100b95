// The dial plan as written in a file: number lengths and the outside-line prefix, classes of outside
// destinations and the rewrite rules of the dialable form, read from groups of the exchange's file.
#pragma once

#include <string>
#include <vector>

namespace dialplan {

// A class of outside destinations: numbers (after the outside-line prefix) matching the whole
// pattern need at least this class of service.
struct DestinationClass
{
    std::string name;
    std::string pattern;
    int minCos = 0;
};

// One rewrite of toDialable: every match of pattern is replaced (ECMAScript regex, "$1" allowed).
struct RewriteRule
{
    std::string pattern;
    std::string replacement;
};

struct DialPlanConfig
{
    std::string outsidePrefix = "9";
    int internalMaxDigits = 5;
    int internalCos = 0;                   // class of service internal calls need
    std::vector<DestinationClass> classes; // first matching class wins
    std::vector<RewriteRule> dialable;     // applied in order
};

// Prefix 9, internal numbers up to 5 digits; international (810...) needs 3, national (8 and 10
// digits) 2, city (7 digits) 1; "+7" dialled as 8, "+" as 810, blanks, brackets and dashes dropped.
DialPlanConfig DefaultDialPlan();

// Reads the groups [dialplan] (outside_prefix, internal_digits, internal_cos), [classes]
// (name = minimum-class-of-service pattern) and [dialable] (pattern = replacement) into a
// configuration, for the reader of a larger file that hands it these groups (the exchange's). The
// first [classes] or [dialable] of a file replaces the list the configuration had, even when it is
// empty; keys of [dialplan] left out keep their values.
class DialPlanReader
{
public:
    explicit DialPlanReader(DialPlanConfig& config) : config_(config) {}

    // True when the group is one of the three.
    bool Open(const std::string& group);
    // One "key = value" of the group; false with why.
    bool Read(const std::string& group, const std::string& key, const std::string& value, std::string& why);

private:
    DialPlanConfig& config_;
    bool seenClasses_ = false;
    bool seenDialable_ = false;
};

} // namespace dialplan
