// Where a dialled number goes and whether the caller's class of service allows it, and the
// exchange's dialable form of a number.
#pragma once

#include "exchange/Config.h"

#include <regex>
#include <string>
#include <vector>

namespace exchange {

struct RouteDecision
{
    int status = 0;        // 0: go ahead; else the SIP status to refuse with (403, 404)
    std::string number;    // the extension, or the outside number without the prefix
    bool outside = false;
    std::string className; // "internal" or the outside class
};

class DialPlan
{
public:
    explicit DialPlan(const ExchangeConfig& config);

    RouteDecision Route(int callerCos, const std::string& dialled) const;
    std::string ToDialable(const std::string& number) const;

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
    const ExchangeConfig config_;
    std::vector<Class> classes_;
    std::vector<Rewrite> rewrites_;
};

} // namespace exchange
