#include "common/Logging.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace logging_detail {
std::atomic<int> g_ceiling{Notice};
}

namespace {

struct Facility
{
    std::mutex mutex;
    std::string identity = "Selvane";
    std::string path = "log.txt";
    std::FILE* file = nullptr;
    bool console = isatty(STDERR_FILENO) != 0;
    bool failing = false; // report a broken file once, not on every line
    std::function<void(const std::string&)> fallback;

    ~Facility()
    {
        if (file)
            std::fclose(file);
    }
};

Facility& facility()
{
    static Facility f;
    return f;
}

void defaultFallback(const std::string& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    syslog(LOG_ERR, "%s", text.c_str());
}

std::string header(const std::string& identity, int severity)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char buf[160];
    std::snprintf(buf, sizeof buf, "[%s.%ld, %s.%03ld; %s]: ", identity.c_str(), static_cast<long>(syscall(SYS_gettid)),
                  stamp, static_cast<long>(tv.tv_usec / 1000), LogSeverityName(severity));
    return buf;
}

// Caller IDs and digits come from the network: a CR or LF in them would start a forged line, an escape
// sequence would repaint a terminal showing the log. Control bytes are written as C escapes instead.
void appendEscaped(std::string& line, const std::string& message)
{
    static const char hex[] = "0123456789abcdef";
    for (char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            line += c;
            continue;
        }
        line += '\\';
        switch (c) {
        case '\n':
            line += 'n';
            break;
        case '\r':
            line += 'r';
            break;
        case '\t':
            line += 't';
            break;
        default:
            line += 'x';
            line += hex[byte >> 4];
            line += hex[byte & 0xf];
        }
    }
}

// Caller holds the mutex.
void reportFailure(Facility& f, const std::string& what)
{
    if (f.failing)
        return;
    f.failing = true;
    std::string text = "log: " + what + " " + f.path + ": " + std::strerror(errno);
    if (f.fallback)
        f.fallback(text);
    else
        defaultFallback(text);
}

} // namespace

std::string LogCut(std::string_view text, size_t limit)
{
    if (text.size() <= limit)
        return std::string(text);
    size_t keep = limit;
    // Back to the start of a character: continuation bytes are 10xxxxxx.
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
        --keep;
    std::string cut(text.substr(0, keep));
    cut += "\u2026[cut ";
    cut += std::to_string(text.size() - keep);
    cut += ']';
    return cut;
}

std::string LogMasked(std::string_view secret)
{
    return std::string(secret.size(), '*');
}

void logging_detail::appendBounded(std::string& out, std::string_view text)
{
    if (text.size() <= kLogPieceLimit)
        out += text;
    else
        out += LogCut(text, kLogPieceLimit);
}

const char* LogSeverityName(int severity)
{
    static const char* const names[] = {"Emergency", "Alert",  "Critical",      "Error",
                                        "Warning",   "Notice", "Informational", "Debug"};
    int index = severity & 0xF;
    return index < 8 ? names[index] : "Debug";
}

void logging_detail::write(int severity, std::string&& message)
{
    Facility& f = facility();
    std::lock_guard<std::mutex> lock(f.mutex);
    std::string line = header(f.identity, severity);
    appendEscaped(line, message.size() <= kLogMessageLimit ? message : LogCut(message, kLogMessageLimit));
    line += '\n';
    if (!f.file) {
        f.file = std::fopen(f.path.c_str(), "a");
        if (!f.file)
            reportFailure(f, "cannot open");
    }
    if (f.file) {
        if (std::fwrite(line.data(), 1, line.size(), f.file) != line.size() || std::fflush(f.file) != 0) {
            reportFailure(f, "cannot write");
            std::clearerr(f.file);
        } else {
            f.failing = false;
        }
    }
    if (f.console)
        std::fwrite(line.data(), 1, line.size(), stderr);
}

void CreateLogger(const char* identity)
{
    {
        Facility& f = facility();
        std::lock_guard<std::mutex> lock(f.mutex);
        f.identity = identity ? identity : "";
    }
    SetLogFile("log.txt");
    Log(Debug, "Logger created");
}

void SetLogFile(const std::string& path)
{
    Facility& f = facility();
    std::lock_guard<std::mutex> lock(f.mutex);
    if (f.file) {
        std::fclose(f.file);
        f.file = nullptr;
    }
    f.path = path;
    f.failing = false;
    // Opened lazily on the first line, so a program that logs nothing leaves no empty file.
}

void SetLogSeverity(int level)
{
    logging_detail::g_ceiling.store(Informational, std::memory_order_relaxed);
    Log(Informational, "Severity changed to ", level);
    logging_detail::g_ceiling.store(level, std::memory_order_relaxed);
}

int LogSeverityCeiling() { return logging_detail::g_ceiling.load(std::memory_order_relaxed); }

void SetLogConsoleOutput(bool enabled)
{
    Facility& f = facility();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.console = enabled;
}

void SetLogFallback(std::function<void(const std::string&)> fallback)
{
    Facility& f = facility();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.fallback = std::move(fallback);
}

bool WriteSystemLog(int priority, const std::string& text)
{
    std::string identity;
    {
        std::lock_guard<std::mutex> lock(facility().mutex);
        identity = facility().identity;
    }
    const char* socketPath = std::getenv(kSystemLogSocketVariable);
    if (!socketPath || !*socketPath) {
        syslog(priority, "%s", text.c_str());
        return true;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path)
        return false;
    std::strncpy(address.sun_path, socketPath, sizeof address.sun_path - 1);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    // The same escaping as the log file: a caller ID in the text cannot forge a second entry.
    std::string datagram = "<" + std::to_string(priority) + ">" + stamp + " " + identity + "[" +
                           std::to_string(getpid()) + "]: ";
    appendEscaped(datagram, text);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                                sizeof address);
    close(fd);
    return sent == static_cast<ssize_t>(datagram.size());
}
