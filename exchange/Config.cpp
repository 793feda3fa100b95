#include "exchange/Config.h"

#include "platform/dialplan/Ini.h"
#include "voip/core/Address.h"

namespace exchange {

namespace {

using dialplan::ToInt;
using dialplan::Trim;

int* ControlLimit(ControlLimits& limits, const std::string& key)
{
    if (key == "control_max_clients")
        return &limits.maxClients;
    if (key == "control_max_unauthenticated")
        return &limits.maxUnauthenticated;
    if (key == "control_login_timeout")
        return &limits.loginTimeoutSeconds;
    if (key == "control_output_limit")
        return &limits.outputLimitKiB;
    if (key == "control_login_failures")
        return &limits.loginFailures;
    if (key == "control_login_lockout")
        return &limits.lockoutSeconds;
    return nullptr;
}

} // namespace

const Extension* ExchangeConfig::FindExtension(const std::string& number) const
{
    for (const Extension& e : extensions)
        if (e.number == number)
            return &e;
    return nullptr;
}

ExchangeConfig DefaultConfig()
{
    ExchangeConfig c;
    c.extensions = {{"201", "201", 3, true},         {"202", "202", 3, true},
                    {"101", "101", 0, false},        {"102", "102", 3, false},
                    {"1234567", "1234567", 0, false}, {"84951234567", "84951234567", 0, false}};
    c.dialPlan = dialplan::DefaultDialPlan();
    return c;
}

bool SplitHostPort(const std::string& text, std::string& host, int& port, int defaultPort)
{
    return voip::SplitHostPort(Trim(text), host, port, defaultPort) && !host.empty();
}

bool ParseConfig(const std::string& text, ExchangeConfig& config, std::string& error)
{
    ExchangeConfig c = config;
    bool seenExtensions = false;
    dialplan::DialPlanReader plan(c.dialPlan);
    // The lines' classes of service are in [extensions]: [lines] is not this file's.
    auto open = [&](const std::string& group, std::string&) {
        // A group present in the file replaces the built-in list, even when it is empty.
        if (group == "extensions" && !seenExtensions) {
            seenExtensions = true;
            c.extensions.clear();
        }
        return group == "exchange" || group == "extensions" || (group != "lines" && plan.Open(group));
    };
    auto entry = [&](const std::string& group, const std::string& key, const std::string& value,
                     std::string& why) {
        auto fail = [&](const std::string& message) {
            why = message;
            return false;
        };
        std::string host;
        int port = 0;
        if (group == "extensions") {
            std::vector<std::string> w = dialplan::Words(value, 3);
            Extension e;
            e.number = key;
            if (w.size() != 3 || (w[0] != "line" && w[0] != "phone") || !ToInt(w[2], e.cos) || e.cos < 0)
                return fail("an extension is: number = line|phone password class-of-service");
            if (key.find_first_not_of("0123456789") != std::string::npos)
                return fail("an extension number has digits only");
            if (c.FindExtension(key))
                return fail("extension " + key + " given twice");
            e.line = w[0] == "line";
            e.password = w[1];
            c.extensions.push_back(e);
        } else if (group != "exchange") {
            return plan.Read(group, key, value, why);
        } else if (key == "sip") { // addresses are checked on their own line, so a fault names it
            if (!SplitHostPort(value, host, port, 5060))
                return fail("bad sip address " + value);
            c.sipAddress = value;
        } else if (key == "control") {
            if (!SplitHostPort(value, host, port, pbxcontrol::kDefaultPort))
                return fail("bad control address " + value);
            c.controlAddress = value;
        } else if (key == "username")
            c.username = value;
        else if (key == "password")
            c.password = value;
        else if (key == "realm")
            c.realm = value;
        else if (key == "trunk") {
            if (!value.empty() && !SplitHostPort(value, host, port, 5060))
                return fail("bad trunk address " + value);
            c.trunk = value;
        } else if (key == "rtp_ports") {
            size_t dash = value.find('-');
            int first = 0, last = 0;
            if (dash == std::string::npos || !ToInt(Trim(value.substr(0, dash)), first) ||
                !ToInt(Trim(value.substr(dash + 1)), last) || first < 1024 || last > 65535 ||
                last - first < 4)
                return fail("rtp_ports wants first-last, at least 4 ports within 1024-65535");
            c.rtpFirstPort = first;
            c.rtpLastPort = last;
        } else if (key == "media_timeout") {
            if (!ToInt(value, c.mediaTimeoutSeconds) || c.mediaTimeoutSeconds < 0)
                return fail("media_timeout wants seconds, 0 for never");
        } else if (int* limit = ControlLimit(c.control, key)) {
            if (!ToInt(value, *limit) || *limit < 1)
                return fail(key + " wants a whole number of at least 1");
        } else
            return fail("unknown key " + key);
        return true;
    };
    if (!dialplan::ReadIni(text, open, entry, error))
        return false;
    config = c;
    return true;
}

bool LoadConfig(const std::string& path, ExchangeConfig& config, std::string& error)
{
    std::string text;
    if (!dialplan::ReadTextFile(path, text, error))
        return false;
    if (!ParseConfig(text, config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace exchange
