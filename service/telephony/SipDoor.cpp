#include "service/telephony/SipDoor.h"

#include "common/Logging.h"
#include "voip/core/Address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

// The numeric addresses of a host name or literal; empty when it does not resolve.
std::vector<std::string> Addresses(const std::string& host)
{
    std::vector<std::string> found;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return found;
    for (addrinfo* a = list; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* where = a->ai_family == AF_INET
                                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if ((a->ai_family == AF_INET || a->ai_family == AF_INET6) && inet_ntop(a->ai_family, where, text, sizeof text))
            found.push_back(text);
    }
    freeaddrinfo(list);
    return found;
}

// An IPv4 peer reaching an IPv6 socket shows as ::ffff:a.b.c.d.
std::string Plain(const std::string& host)
{
    const std::string mapped = "::ffff:";
    return host.compare(0, mapped.size(), mapped) == 0 && host.find('.') != std::string::npos
               ? host.substr(mapped.size())
               : host;
}

} // namespace

std::string SipDoor::SourceText(const std::string& host, int port)
{
    const std::string shown = host.empty() ? std::string("unknown") : host;
    return (shown.find(':') != std::string::npos ? "[" + shown + "]" : shown) + ":" + std::to_string(port);
}

void SipDoor::Configure(const std::vector<std::string>& lineNames, const std::vector<std::string>& sources)
{
    std::vector<Entry> parsed;
    for (const std::string& source : sources) {
        Entry entry;
        entry.text = source;
        if (source.empty() || !voip::SplitHostPort(source, entry.host, entry.port, 0) || entry.host.empty()) {
            Log(Warning, "SIP: trusted source not understood, left out: ", source);
            continue;
        }
        parsed.push_back(std::move(entry));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines = std::set<std::string>(lineNames.begin(), lineNames.end());
        entries = std::move(parsed);
    }
    Resolve();
}

void SipDoor::Resolve()
{
    std::vector<Entry> current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = entries;
    }
    // Looked up without the lock: a slow name server must not hold the SIP stack's thread.
    for (Entry& entry : current) {
        std::vector<std::string> found = Addresses(entry.host);
        if (!found.empty())
            entry.addresses = std::move(found);
        else if (entry.addresses.empty())
            Log(Warning, "SIP: trusted source ", entry.text, " does not resolve; no call is taken from it");
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (Entry& entry : entries)
        for (Entry& fresh : current)
            if (fresh.text == entry.text)
                entry.addresses = fresh.addresses;
}

bool SipDoor::Trusted(const std::string& host, int port) const
{
    const std::string source = Plain(host);
    for (const Entry& entry : entries) {
        if (entry.port != 0 && entry.port != port)
            continue;
        for (const std::string& address : entry.addresses)
            if (address == source)
                return true;
    }
    return false;
}

voip::InviteRefusal SipDoor::Admit(const voip::InviteRequest& invite) const
{
    const std::string source = SourceText(invite.sourceHost, invite.sourcePort);
    std::lock_guard<std::mutex> lock(mutex);
    if (!Trusted(invite.sourceHost, invite.sourcePort)) {
        Log(Notice, "SIP: call from ", source, " refused (403): not a server of the lines nor a trusted peer");
        return {403, "", "Source " + source + " is not trusted"};
    }
    // Only a call to a line is the service's; anything else would be routed out again at its cost.
    if (lines.count(invite.requestUser) == 0) {
        Log(Notice, "SIP: call to ", LogCut(invite.requestUser, 40), " from " + source,
            " refused (404): not a line of the service");
        return {404, "", ""};
    }
    if (invite.fromUser.size() > kLongestCallerId) {
        Log(Notice, "SIP: call from caller ID ", LogCut(invite.fromUser, kLongestCallerId),
            " (" + std::to_string(invite.fromUser.size()) + " characters) via " + source,
            " refused (403): longer than any subscriber's");
        return {403, "", "Caller ID longer than " + std::to_string(kLongestCallerId) + " characters"};
    }
    return {};
}
