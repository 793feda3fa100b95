// Routing of addresses without an endpoint prefix and of calls arriving from the network:
// "pattern = destination" entries, first match wins.
#pragma once

#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace voip {

class RouteTable
{
public:
    // "pattern = destination". The pattern is a regular expression that must match the whole
    // address (ECMAScript syntax, case-sensitive); in the destination "<dn>" stands for the dialled
    // number. False, and nothing added, for a malformed entry or an invalid pattern.
    bool Add(const std::string& entry);
    bool Add(const std::string& pattern, const std::string& destination);
    void Clear();
    size_t Size() const;

    // The destination of the first entry matching address, "<dn>" replaced; empty when none matches.
    std::string Route(const std::string& address) const;

    // The dialled number of an address: the user part of a URL ("sip:123@host" -> "123"), or the
    // address itself when it has no scheme.
    static std::string DialledNumber(const std::string& address);

private:
    struct Entry
    {
        std::string pattern;
        std::regex regex;
        std::string destination;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace voip
