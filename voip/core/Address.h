// SIP addresses as the call model reads them.
#pragma once

#include <string>

namespace voip {

// The user part of a URL ("sip:123@host;x=y" -> "123"); a text without scheme is its own user part.
std::string UserPartOf(const std::string& address);

// Splits "host[:port]", an IPv6 host in brackets ("[::1]:5060"), into the host (without the
// brackets; it may be empty) and the port, which is defaultPort when absent. False for a
// malformed text or a port above 65535; host and port are then left alone.
bool SplitHostPort(const std::string& text, std::string& host, int& port, int defaultPort);

} // namespace voip
