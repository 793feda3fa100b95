// The INI text the dial plan and the exchange are written in: "[group]" lines, "key = value" lines,
// comment lines starting with ";" or "#". One walker for every reader of such a file, so they agree
// on what a line is and name the line at fault the same way.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dialplan {

// Called at each "[group]": true when the reader knows the group. False refuses the file, with why
// (empty: "unknown group [name]").
using GroupOpen = std::function<bool(const std::string& group, std::string& why)>;
// Called with each "key = value" of a known group: false refuses the file, with why.
using GroupEntry = std::function<bool(const std::string& group, const std::string& key,
                                      const std::string& value, std::string& why)>;

// Walks the text, blanks around names, keys and values dropped. A line starting with "[" that holds
// no "=" names a group ("[ ()-] = " is a key). False at the first fault, error "line N: why".
bool ReadIni(const std::string& text, const GroupOpen& open, const GroupEntry& entry, std::string& error);

// The whole file; false with "cannot read PATH".
bool ReadTextFile(const std::string& path, std::string& text, std::string& error);

std::string Trim(const std::string& s);
// Decimal digits with an optional "-", at most 9 characters (no overflow).
bool ToInt(const std::string& text, int& value);
// Up to max words split at blanks; the last one takes the rest of the text, blanks inside kept.
std::vector<std::string> Words(const std::string& text, size_t max);

} // namespace dialplan
