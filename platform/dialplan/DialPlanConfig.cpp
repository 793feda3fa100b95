#include "platform/dialplan/DialPlanConfig.h"

#include "platform/dialplan/Ini.h"

#include <regex>

namespace dialplan {

namespace {

bool ValidPattern(const std::string& pattern)
{
    try {
        std::regex r(pattern);
        return true;
    } catch (const std::regex_error&) {
        return false;
    }
}

} // namespace

DialPlanConfig DefaultDialPlan()
{
    DialPlanConfig c;
    c.classes = {
        {"international", "810[0-9]+", 3}, {"national", "8[0-9]{10}", 2}, {"city", "[1-9][0-9]{6}", 1}};
    c.dialable = {{"[ ()-]", ""}, {"^\\+7", "8"}, {"^\\+", "810"}};
    return c;
}

bool DialPlanReader::Open(const std::string& group)
{
    if (group == "classes" && !seenClasses_) {
        seenClasses_ = true;
        config_.classes.clear();
    } else if (group == "dialable" && !seenDialable_) {
        seenDialable_ = true;
        config_.dialable.clear();
    } else if (group == "lines" && !seenLines_) {
        seenLines_ = true;
        config_.lines.clear();
    }
    return group == "dialplan" || group == "classes" || group == "dialable" || group == "lines";
}

bool DialPlanReader::Read(const std::string& group, const std::string& key, const std::string& value,
                          std::string& why)
{
    auto fail = [&](const std::string& text) {
        why = text;
        return false;
    };
    if (group == "dialplan") {
        int n = 0;
        if (key == "outside_prefix")
            config_.outsidePrefix = value;
        else if (key == "internal_digits" && ToInt(value, n) && n > 0)
            config_.internalMaxDigits = n;
        else if (key == "internal_cos" && ToInt(value, n) && n >= 0)
            config_.internalCos = n;
        else
            return fail("unknown key or bad value: " + key);
    } else if (group == "classes") {
        std::vector<std::string> w = Words(value, 2);
        DestinationClass d;
        d.name = key;
        if (w.size() != 2 || !ToInt(w[0], d.minCos) || d.minCos < 0)
            return fail("a class is: name = minimum-class-of-service pattern");
        if (!ValidPattern(w[1]))
            return fail("invalid pattern " + w[1]);
        d.pattern = w[1];
        config_.classes.push_back(d);
    } else if (group == "dialable") {
        if (!ValidPattern(key))
            return fail("invalid pattern " + key);
        config_.dialable.push_back({key, value});
    } else if (group == "lines") {
        int cos = 0;
        if (!ToInt(value, cos) || cos < 0)
            return fail("a line is: name = class-of-service (a whole number, 0 or more)");
        if (!config_.lines.emplace(key, cos).second)
            return fail("line " + key + " given twice");
    } else {
        return fail("a key outside the dial plan's groups");
    }
    return true;
}

bool ParseDialPlan(const std::string& text, DialPlanConfig& config, std::string& error)
{
    DialPlanConfig c = config;
    DialPlanReader reader(c);
    auto open = [&](const std::string& group, std::string& why) {
        if (reader.Open(group))
            return true;
        why = "unknown group [" + group + "]; a dial plan has [dialplan], [classes], [dialable] and [lines]";
        return false;
    };
    auto entry = [&](const std::string& group, const std::string& key, const std::string& value,
                     std::string& why) { return reader.Read(group, key, value, why); };
    if (!ReadIni(text, open, entry, error))
        return false;
    config = c;
    return true;
}

bool LoadDialPlan(const std::string& path, DialPlanConfig& config, std::string& error)
{
    std::string text;
    if (!ReadTextFile(path, text, error))
        return false;
    if (!ParseDialPlan(text, config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace dialplan
