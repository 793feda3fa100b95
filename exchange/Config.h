// The exchange's configuration: its addresses, the control client's account, the extensions and
// the dial plan. Read from an INI file, or built in for the demo.
#pragma once

#include "platform/dialplan/DialPlanConfig.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <string>
#include <vector>

namespace exchange {

struct Extension
{
    std::string number;
    std::string password;
    int cos = 0;
    bool line = false; // a line of a control client (the service's), else a phone
};

// What the control server grants one client and all of them (see README).
struct ControlLimits
{
    int maxClients = 32;            // connections at once; more are closed at once
    int maxUnauthenticated = 8;     // of those, not logged in yet; a newcomer over it ends the oldest
    int loginTimeoutSeconds = 10;   // a connection not logged in by then is closed
    int outputLimitKiB = 1024;      // answers and notifications waiting for a client that does not read
    int loginFailures = 5;          // wrong logins from one address before it is refused
    int lockoutSeconds = 60;        // how long it is refused then
};

struct ExchangeConfig
{
    std::string sipAddress = "127.0.0.1:5060";     // host:port the SIP side listens on
    // host:port of the control server
    std::string controlAddress = "127.0.0.1:" + std::to_string(pbxcontrol::kDefaultPort);
    std::string username = "selvane";
    std::string password = "selvane";
    std::string realm = "pbx-exchange";
    std::string trunk;                             // host:port for outside numbers no phone holds
    int rtpFirstPort = 30000;
    int rtpLastPort = 40000;                       // exclusive
    std::vector<Extension> extensions;
    // The groups [dialplan], [classes] and [dialable]; the lines' classes are the extensions'.
    dialplan::DialPlanConfig dialPlan;
    ControlLimits control;
    // A call whose relayed media has stopped in both directions for this long is cleared (0: never).
    int mediaTimeoutSeconds = 30;

    const Extension* FindExtension(const std::string& number) const;
};

// Two lines (201, 202), internal phones 101 and 102, outside phones 1234567 (city) and
// 84951234567 (national); passwords are the numbers; the control account selvane/selvane.
ExchangeConfig DefaultConfig();

// Reads the file over the defaults of the [exchange] and [dialplan] groups; the extensions,
// classes and rewrite rules come only from the file when it has their groups (the dial plan's
// groups are read by dialplan::DialPlanReader). False with a message naming the line at fault.
bool LoadConfig(const std::string& path, ExchangeConfig& config, std::string& error);
bool ParseConfig(const std::string& text, ExchangeConfig& config, std::string& error);

// "host[:port]" split as voip::SplitHostPort does, blanks around it ignored. False for a malformed
// text or an empty host.
bool SplitHostPort(const std::string& text, std::string& host, int& port, int defaultPort);

} // namespace exchange
