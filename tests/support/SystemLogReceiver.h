// A private system log: a Unix datagram socket bound at a path of the test's, which a program told to
// send its system log entries there (SELVANE_SYSLOG_SOCKET) writes to instead of the host's syslog.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class SystemLogReceiver
{
public:
    // Binds the socket (replacing a stale file at the path); Bound() says whether it worked.
    explicit SystemLogReceiver(std::string path);
    ~SystemLogReceiver();
    SystemLogReceiver(const SystemLogReceiver&) = delete;
    SystemLogReceiver& operator=(const SystemLogReceiver&) = delete;

    bool Bound() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // Every datagram received so far, as sent ("<33>Dec  9 06:14:21 Selvane[123]: text").
    std::vector<std::string> Entries() const;
    // Waits until an entry holds text; false when none did within timeout.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const;
    int Count(const std::string& text) const;

private:
    void Receive();

    std::string path_;
    int fd_ = -1;
    int stop_[2] = {-1, -1}; // a pipe that ends the receiving thread
    mutable std::mutex lock_;
    std::vector<std::string> entries_;
    std::thread thread_;
};

} // namespace testsupport
