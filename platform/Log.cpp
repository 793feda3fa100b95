#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {

namespace {

struct Sink
{
    std::mutex mutex; // only guards installing; a handler is installed before the components run
    LogHandler write;
};

Sink& TheSink()
{
    static Sink sink;
    return sink;
}

} // namespace

void SetLogHandler(LogHandler handler)
{
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.write = std::move(handler);
}

bool HasLogHandler() { return bool(TheSink().write); }

void WriteLog(int severity, std::string_view message)
{
    Sink& sink = TheSink();
    if (sink.write)
        sink.write(severity, message);
    else if ((severity & 0xF) <= Warning)
        std::fprintf(stderr, "platform: %.*s\n", int(message.size()), message.data());
}

} // namespace platform
