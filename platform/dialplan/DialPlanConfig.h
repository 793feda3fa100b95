// The dial plan as written in a file: number lengths and the outside-line prefix, classes of outside
// destinations, the rewrite rules of the dialable form, and each line's starting class of service.
// The exchange reads it from groups of its own file; the service reads it from a file of its own.
#pragma once

#include <map>
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
    std::map<std::string, int> lines;      // a line's class of service until it is set; unlisted: 0
};

// Prefix 9, internal numbers up to 5 digits; international (810...) needs 3, national (8 and 10
// digits) 2, city (7 digits) 1; "+7" dialled as 8, "+" as 810, blanks, brackets and dashes dropped.
DialPlanConfig DefaultDialPlan();

// Reads the groups [dialplan] (outside_prefix, internal_digits, internal_cos), [classes]
// (name = minimum-class-of-service pattern), [dialable] (pattern = replacement) and [lines]
// (name = class-of-service) into a configuration, for ParseDialPlan and for the reader of a larger
// file that hands it these groups (the exchange's). The first [classes], [dialable] or [lines] of a
// file replaces the list the configuration had, even when it is empty; keys of [dialplan] left out
// keep their values.
class DialPlanReader
{
public:
    explicit DialPlanReader(DialPlanConfig& config) : config_(config) {}

    // True when the group is one of the four.
    bool Open(const std::string& group);
    // One "key = value" of the group; false with why.
    bool Read(const std::string& group, const std::string& key, const std::string& value, std::string& why);

private:
    DialPlanConfig& config_;
    bool seenClasses_ = false;
    bool seenDialable_ = false;
    bool seenLines_ = false;
};

// A dial-plan file of its own: the four groups and nothing else, read over config. False with a
// message naming the line at fault (LoadDialPlan: and the file); config is then left as it was.
bool ParseDialPlan(const std::string& text, DialPlanConfig& config, std::string& error);
bool LoadDialPlan(const std::string& path, DialPlanConfig& config, std::string& error);

} // namespace dialplan
