// The service's logging facility: a severity filter in front of a log file and the console.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

enum LogSeverity : int {
    Emergency = 0,
    Alert = 1,
    Critical = 2,
    Error = 3,
    Warning = 4,
    Notice = 5,
    Informational = 6,
    Debug = 7,
};

// What one piece of a message, and one whole message, may write at most: a caller ID or a header from
// the network can be any length, and one call must not fill the disk. A longer text is cut to the
// limit and ends with the mark of LogCut.
constexpr size_t kLogPieceLimit = 1024;
constexpr size_t kLogMessageLimit = 4096;

// The text itself when it is at most limit bytes; else its first bytes up to the limit (never half
// of a UTF-8 character) followed by "…[cut N]", N the bytes left out.
std::string LogCut(std::string_view text, size_t limit = kLogPieceLimit);
// A secret as the log may show it: one '*' per character ("2000" -> "****").
std::string LogMasked(std::string_view secret);

namespace logging_detail {
extern std::atomic<int> g_ceiling;

void write(int severity, std::string&& message);

void appendBounded(std::string& out, std::string_view text);
inline void append(std::string& out, const char* text) { appendBounded(out, text ? text : ""); }
inline void append(std::string& out, std::string_view text) { appendBounded(out, text); }
inline void append(std::string& out, const std::string& text) { appendBounded(out, text); }
template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool> &&
                                                    !std::is_same_v<Int, char>>>
inline void append(std::string& out, Int value)
{
    out += std::to_string(value);
}
} // namespace logging_detail

// Severity name as written in a line ("Notice"); the low four bits select it.
const char* LogSeverityName(int severity);

// Initialises the facility, writes to "log.txt" in the working folder.
void CreateLogger(const char* identity = "Selvane");
void SetLogFile(const std::string& path);
// Always writes "Severity changed to <level>" (at Informational, under a ceiling of 6) before applying it.
void SetLogSeverity(int level);
int LogSeverityCeiling();

// Mirror lines to standard error (on by default only when it is a terminal).
void SetLogConsoleOutput(bool enabled);
// Where a failed write is reported; the default writes to standard error and syslog.
void SetLogFallback(std::function<void(const std::string&)> fallback);

// One entry in the system log under the facility's identity: priority is a syslog facility and level
// (LOG_AUTH | LOG_ALERT). It goes to syslog, or, when SELVANE_SYSLOG_SOCKET names a Unix datagram socket,
// as one RFC 3164 datagram to that socket instead (a test's private receiver). False when it could not
// be sent there.
bool WriteSystemLog(int priority, const std::string& text);
inline constexpr const char* kSystemLogSocketVariable = "SELVANE_SYSLOG_SOCKET";

inline bool LogEnabled(int severity)
{
    return (severity & 0xF) <= logging_detail::g_ceiling.load(std::memory_order_relaxed);
}

// One line of one to five pieces (texts, strings or integers) joined with nothing between them.
// Nothing is formatted when the severity is filtered out. Control characters in the pieces are written
// escaped ("\r", "\n", "\t", "\x1b"), so one call is always one line. Each text piece is cut at
// kLogPieceLimit, the message at kLogMessageLimit (LogCut).
template <typename... Pieces>
inline void Log(int severity, const Pieces&... pieces)
{
    static_assert(sizeof...(Pieces) >= 1 && sizeof...(Pieces) <= 5, "a log line has one to five pieces");
    if (!LogEnabled(severity))
        return;
    std::string message;
    (logging_detail::append(message, pieces), ...);
    logging_detail::write(severity, std::move(message));
}
