// Sends the log (the voip library's lines too) to a temporary file at Debug and reads back the
// messages written since.
#pragma once

#include "common/Logging.h"
#include "voip/core/Log.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

// The voip library's lines into the logging facility, as the programs' mains route them.
inline void ForwardVoipLog()
{
    voip::SetLogHandler([](int severity, std::string_view message) { Log(severity, message); },
                        [](int severity) { return LogEnabled(severity); });
}

class LogCapture
{
public:
    explicit LogCapture(int ceiling = Debug)
    {
        char tmpl[] = "/tmp/selvcoreXXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path_ = tmpl;
        SetLogConsoleOutput(false);
        SetLogFile(path_);
        SetLogSeverity(ceiling);
        ForwardVoipLog();
    }
    ~LogCapture()
    {
        SetLogFile("/dev/null");
        std::remove(path_.c_str());
    }
    // "Severity: message" for each line.
    std::vector<std::string> lines() const
    {
        std::ifstream in(path_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            auto semi = line.find("; "), end = line.find("]: ");
            out.push_back(line.substr(semi + 2, end - semi - 2) + ": " + line.substr(end + 3));
        }
        return out;
    }
    bool contains(const std::string& line) const
    {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

private:
    std::string path_;
};
