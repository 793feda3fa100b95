// Who may start a call at the service's SIP listener: a request must come from a server of one of the
// service's lines (its registrar) or a trusted peer of the settings, must call one of the lines, and
// must carry a caller ID the subscriber database could match. Everything else is turned away before
// a call exists, so the line routes never carry a stranger's call back out to the exchange.
#pragma once

#include "voip/sip/SipEndpoint.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

class SipDoor
{
public:
    // USERS.CALLERID holds 20 characters; the exchange's dialling form (ToDialable) may drop a prefix
    // or two first, so a few more are let through to the database, and no more.
    static constexpr size_t kLongestCallerId = 32;

    // The lines' logins, and the sources trusted: "host" (any port) or "host:port" (that port only),
    // an IPv6 host in brackets. Malformed entries are logged and left out. Resolves them at once.
    void Configure(const std::vector<std::string>& lines, const std::vector<std::string>& sources);
    // Looks the hosts of the trusted sources up again (a name may point elsewhere by now). An entry
    // that does not resolve keeps its earlier addresses.
    void Resolve();

    // The answer for an INVITE: status 0 admits it. Never waits: safe on the SIP stack's thread.
    voip::InviteRefusal Admit(const voip::InviteRequest& invite) const;

    // "127.0.0.1:5071", "[::1]:5071": a source as the log and the Warning name it.
    static std::string SourceText(const std::string& host, int port);

private:
    struct Entry
    {
        std::string text;
        std::string host;
        int port = 0; // 0: any
        std::vector<std::string> addresses;
    };
    bool Trusted(const std::string& host, int port) const; // holds mutex

    mutable std::mutex mutex;
    std::set<std::string> lines;
    std::vector<Entry> entries;
};
