// Where the platform's components log: through a handler the program installs (its own logging
// facility, a test's capture). Without one, Warning and worse go to standard error.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform {

// Severities as syslog numbers them.
enum LogLevel : int {
    Emergency = 0,
    Alert = 1,
    Critical = 2,
    Error = 3,
    Warning = 4,
    Notice = 5,
    Informational = 6,
    Debug = 7,
};

using LogHandler = std::function<void(int severity, std::string_view message)>;

// Installed before any component runs; a null handler restores the default.
void SetLogHandler(LogHandler handler);
bool HasLogHandler();
void WriteLog(int severity, std::string_view message);

namespace log_detail {

inline void append(std::string& out, const char* text) { out += text ? text : ""; }
inline void append(std::string& out, std::string_view text) { out += text; }
inline void append(std::string& out, const std::string& text) { out += text; }
template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                                    !std::is_same_v<Int, char>>>
inline void append(std::string& out, Int value)
{
    out += std::to_string(value);
}

} // namespace log_detail

// One line of one to five pieces (texts, strings or integers) joined with nothing between them.
template <typename... Pieces>
inline void Log(int severity, const Pieces&... pieces)
{
    static_assert(sizeof...(Pieces) >= 1 && sizeof...(Pieces) <= 5, "a log line has one to five pieces");
    if (!HasLogHandler() && (severity & 0xF) > Warning)
        return; // the default would drop it: not worth formatting
    std::string message;
    (log_detail::append(message, pieces), ...);
    WriteLog(severity, message);
}

} // namespace platform
