#include "exchange/Config.h"

#include "voip/core/Address.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace exchange {

namespace {

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ToInt(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    size_t start = text[0] == '-' ? 1 : 0;
    if (start == text.size())
        return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    value = std::stoi(text);
    return true;
}

bool ValidPattern(const std::string& pattern)
{
    try {
        std::regex r(pattern);
        return true;
    } catch (const std::regex_error&) {
        return false;
    }
}

std::vector<std::string> Words(const std::string& text, size_t max)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (words.size() + 1 < max && in >> w)
        words.push_back(w);
    std::string rest;
    std::getline(in, rest);
    rest = Trim(rest);
    if (!rest.empty())
        words.push_back(rest);
    return words;
}

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
    c.classes = {{"international", "810[0-9]+", 3}, {"national", "8[0-9]{10}", 2}, {"city", "[1-9][0-9]{6}", 1}};
    c.dialable = {{"[ ()-]", ""}, {"^\\+7", "8"}, {"^\\+", "810"}};
    return c;
}

bool SplitHostPort(const std::string& text, std::string& host, int& port, int defaultPort)
{
    return voip::SplitHostPort(Trim(text), host, port, defaultPort) && !host.empty();
}

bool ParseConfig(const std::string& text, ExchangeConfig& config, std::string& error)
{
    ExchangeConfig c = config;
    bool seenExtensions = false, seenClasses = false, seenDialable = false;
    std::istringstream in(text);
    std::string raw, group;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        // "[ ()-] = ..." is a rewrite rule, not a group: group names carry no "=".
        if (line.front() == '[' && line.find('=') == std::string::npos) {
            if (line.back() != ']')
                return fail("a group name needs its closing bracket");
            group = Trim(line.substr(1, line.size() - 2));
            // A group present in the file replaces the built-in list, even when it is empty.
            if (group == "extensions" && !seenExtensions) {
                seenExtensions = true;
                c.extensions.clear();
            } else if (group == "classes" && !seenClasses) {
                seenClasses = true;
                c.classes.clear();
            } else if (group == "dialable" && !seenDialable) {
                seenDialable = true;
                c.dialable.clear();
            } else if (group != "exchange" && group != "dialplan" && group != "extensions" && group != "classes" &&
                       group != "dialable") {
                return fail("unknown group [" + group + "]");
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key.empty())
            return fail("empty key");
        if (group == "exchange") {
            if (key == "sip")
                c.sipAddress = value;
            else if (key == "control")
                c.controlAddress = value;
            else if (key == "username")
                c.username = value;
            else if (key == "password")
                c.password = value;
            else if (key == "realm")
                c.realm = value;
            else if (key == "trunk")
                c.trunk = value;
            else if (key == "rtp_ports") {
                size_t dash = value.find('-');
                int first = 0, last = 0;
                if (dash == std::string::npos || !ToInt(Trim(value.substr(0, dash)), first) ||
                    !ToInt(Trim(value.substr(dash + 1)), last) || first < 1024 || last > 65535 || last - first < 4)
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
        } else if (group == "dialplan") {
            int n = 0;
            if (key == "outside_prefix")
                c.outsidePrefix = value;
            else if (key == "internal_digits" && ToInt(value, n) && n > 0)
                c.internalMaxDigits = n;
            else if (key == "internal_cos" && ToInt(value, n) && n >= 0)
                c.internalCos = n;
            else
                return fail("unknown key or bad value: " + key);
        } else if (group == "extensions") {
            std::vector<std::string> w = Words(value, 3);
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
        } else if (group == "classes") {
            std::vector<std::string> w = Words(value, 2);
            DestinationClass d;
            d.name = key;
            if (w.size() != 2 || !ToInt(w[0], d.minCos) || d.minCos < 0)
                return fail("a class is: name = minimum-class-of-service pattern");
            if (!ValidPattern(w[1]))
                return fail("invalid pattern " + w[1]);
            d.pattern = w[1];
            c.classes.push_back(d);
        } else if (group == "dialable") {
            if (!ValidPattern(key))
                return fail("invalid pattern " + key);
            c.dialable.push_back({key, value});
        } else {
            return fail("a key outside any group");
        }
    }
    std::string host;
    int port = 0;
    if (!SplitHostPort(c.sipAddress, host, port, 5060))
        return fail("bad sip address " + c.sipAddress);
    if (!SplitHostPort(c.controlAddress, host, port, pbxcontrol::kDefaultPort))
        return fail("bad control address " + c.controlAddress);
    if (!c.trunk.empty() && !SplitHostPort(c.trunk, host, port, 5060))
        return fail("bad trunk address " + c.trunk);
    config = c;
    return true;
}

bool LoadConfig(const std::string& path, ExchangeConfig& config, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!ParseConfig(text.str(), config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace exchange
