#include "platform/dialplan/DialPlan.h"

namespace dialplan {

DialPlan::DialPlan(const DialPlanConfig& config) : config_(config)
{
    // Patterns were checked when the configuration was read; a bad one here matches nothing.
    for (const DestinationClass& c : config.classes) {
        try {
            classes_.push_back({c.name, std::regex(c.pattern), c.minCos});
        } catch (const std::regex_error&) {
        }
    }
    for (const RewriteRule& r : config.dialable) {
        try {
            rewrites_.push_back({std::regex(r.pattern), r.replacement});
        } catch (const std::regex_error&) {
        }
    }
}

RouteDecision DialPlan::Route(int callerCos, const std::string& dialled) const
{
    RouteDecision d;
    if (dialled.empty() || dialled.find_first_not_of("0123456789") != std::string::npos) {
        d.status = 404;
        return d;
    }
    if (static_cast<int>(dialled.size()) <= config_.internalMaxDigits) {
        d.className = "internal";
        d.number = dialled;
        if (callerCos < config_.internalCos)
            d.status = 403;
        return d;
    }
    const std::string& prefix = config_.outsidePrefix;
    if (prefix.empty() || dialled.compare(0, prefix.size(), prefix) != 0 || dialled.size() == prefix.size()) {
        d.status = 404;
        return d;
    }
    d.outside = true;
    d.number = dialled.substr(prefix.size());
    for (const Class& c : classes_) {
        if (std::regex_match(d.number, c.pattern)) {
            d.className = c.name;
            if (callerCos < c.minCos)
                d.status = 403;
            return d;
        }
    }
    d.status = 404; // an outside number the plan has no class for
    return d;
}

int DialPlan::LineCos(const std::string& line) const
{
    auto it = config_.lines.find(line);
    return it == config_.lines.end() ? 0 : it->second;
}

std::string DialPlan::ToDialable(const std::string& number) const
{
    std::string result = number;
    for (const Rewrite& r : rewrites_)
        result = std::regex_replace(result, r.pattern, r.replacement);
    return result;
}

} // namespace dialplan
