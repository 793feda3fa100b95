// Where a dialled number goes and whether the caller's class of service allows it, the dialable
// form of a number, and a line's starting class of service.
#pragma once

#include "platform/dialplan/DialPlanConfig.h"

#include <regex>
#include <string>
#include <vector>

namespace dialplan {

struct RouteDecision
{
    int status = 0;     // 0: go ahead; else the SIP status to refuse with (403, 404)
    std::string number; // the internal number, or the outside number without the prefix
    bool outside = false;
    std::string className; // "internal" or the outside class
};

class DialPlan
{
public:
    explicit DialPlan(const DialPlanConfig& config);

    // Up to internalMaxDigits digits are internal (403 below internalCos); the outside prefix and a
    // number take the first class matching it (403 below its minimum, 404 when none matches);
    // anything else is 404. Whether an internal number exists is for the exchange to say.
    RouteDecision Route(int callerCos, const std::string& dialled) const;
    std::string ToDialable(const std::string& number) const;
    // The line's class of service from [lines]; 0 for a line not listed.
    int LineCos(const std::string& line) const;
    const DialPlanConfig& Config() const { return config_; }

private:
    struct Class
    {
        std::string name;
        std::regex pattern;
        int minCos;
    };
    struct Rewrite
    {
        std::regex pattern;
        std::string replacement;
    };
    const DialPlanConfig config_;
    std::vector<Class> classes_;
    std::vector<Rewrite> rewrites_;
};

} // namespace dialplan
