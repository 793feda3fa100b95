// SIP addresses as the call model reads them.
#pragma once

#include <string>

namespace voip {

// The user part of a URL ("sip:123@host;x=y" -> "123"); a text without scheme is its own user part.
std::string UserPartOf(const std::string& address);

} // namespace voip
