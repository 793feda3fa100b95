// The string options that travel with a call set-up.
#pragma once

#include <map>
#include <string>

namespace voip {

// Options of a call set-up, by name ("Calling-Party-Number" = "line1").
using StringOptions = std::map<std::string, std::string>;

} // namespace voip
