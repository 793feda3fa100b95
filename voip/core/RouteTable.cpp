#include "voip/core/RouteTable.h"

#include "voip/core/Address.h"

namespace voip {

namespace {
std::string Trim(const std::string& text)
{
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}
} // namespace

bool RouteTable::Add(const std::string& entry)
{
    // " = " separates the sides; a bare "=" only when there is no spaced one.
    size_t sep = entry.find(" = ");
    size_t width = 3;
    if (sep == std::string::npos) {
        sep = entry.find('=');
        width = 1;
    }
    if (sep == std::string::npos)
        return false;
    return Add(Trim(entry.substr(0, sep)), Trim(entry.substr(sep + width)));
}

bool RouteTable::Add(const std::string& pattern, const std::string& destination)
{
    if (pattern.empty() || destination.empty())
        return false;
    try {
        Entry entry{pattern, std::regex(pattern, std::regex::ECMAScript), destination};
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(std::move(entry));
        return true;
    } catch (const std::regex_error&) {
        return false;
    }
}

void RouteTable::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

size_t RouteTable::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::string RouteTable::Route(const std::string& address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : entries_) {
        if (!std::regex_match(address, entry.regex))
            continue;
        std::string destination = entry.destination;
        const std::string dn = DialledNumber(address);
        for (size_t at = destination.find("<dn>"); at != std::string::npos;
             at = destination.find("<dn>", at + dn.size()))
            destination.replace(at, 4, dn);
        return destination;
    }
    return {};
}

std::string RouteTable::DialledNumber(const std::string& address)
{
    return UserPartOf(address);
}

} // namespace voip
