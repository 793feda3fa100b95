// The library's log sink. voip logs through a handler the program installs (its own logging
// facility, a file, a test's capture); without one, Warning and worse go to standard error.
// Header-only, so that every room of the library, the VoiceXML reader included, can log without
// linking anything.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace voip {

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
// Whether a line of that severity would be written; asked before the line is formatted.
using LogFilter = std::function<bool(int severity)>;

namespace log_detail {

struct Sink
{
    std::mutex mutex; // only guards installing; a handler is installed before the library runs
    LogHandler write;
    LogFilter enabled;
};

inline Sink& TheSink()
{
    static Sink sink;
    return sink;
}

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

// Installs where the library's lines go, before any voip object exists; null handlers restore the
// default (Warning and worse to standard error).
inline void SetLogHandler(LogHandler write, LogFilter enabled)
{
    auto& sink = log_detail::TheSink();
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.write = std::move(write);
    sink.enabled = std::move(enabled);
}

inline bool LogEnabled(int severity)
{
    auto& sink = log_detail::TheSink();
    return sink.enabled ? sink.enabled(severity) : (severity & 0xF) <= Warning;
}

// One line of one to five pieces (texts, strings or integers) joined with nothing between them;
// nothing is formatted when the severity is filtered out.
template <typename... Pieces>
inline void Log(int severity, const Pieces&... pieces)
{
    static_assert(sizeof...(Pieces) >= 1 && sizeof...(Pieces) <= 5, "a log line has one to five pieces");
    if (!LogEnabled(severity))
        return;
    std::string message;
    (log_detail::append(message, pieces), ...);
    auto& sink = log_detail::TheSink();
    if (sink.write)
        sink.write(severity, message);
    else
        std::fprintf(stderr, "voip: %s\n", message.c_str());
}

} // namespace voip
