// Real SIP peers for tests: free loopback ports, and SIPp run as a child process with a deadline.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace voip {

// A loopback UDP port free now, with the next count - 1 ports free as well; even when asked.
int FreeUdpPort(int count = 1, bool even = false);

// Waits until something binds the loopback UDP port (a peer started in the background is ready).
bool WaitUntilBound(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

class SippProcess
{
public:
    SippProcess() = default;
    ~SippProcess(); // kills a SIPp still running
    SippProcess(const SippProcess&) = delete;
    SippProcess& operator=(const SippProcess&) = delete;

    // Runs "sipp args..." in a fresh folder, its output in sipp.log there.
    bool Start(const std::vector<std::string>& args);
    // SIPp's exit code (0: every call succeeded), or -1000 when it did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(40));
    // SIPp's screen and error log, for failure messages.
    std::string Log() const;

private:
    pid_t pid_ = -1;
    std::string folder_;
};

// The scenario file of that name in the tests' sipp folder.
std::string Scenario(const std::string& name);

} // namespace voip
