#include "tests/support/SystemLogReceiver.h"

#include "tests/support/Wait.h"

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

SystemLogReceiver::SystemLogReceiver(std::string path) : path_(std::move(path))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path || pipe(stop_) != 0)
        return;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
    if (fd_ >= 0)
        thread_ = std::thread([this] { Receive(); });
}

SystemLogReceiver::~SystemLogReceiver()
{
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!write(stop_[1], &byte, 1);
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
    for (int end : stop_)
        if (end >= 0)
            close(end);
}

void SystemLogReceiver::Receive()
{
    char buffer[65536];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            std::lock_guard<std::mutex> guard(lock_);
            entries_.emplace_back(buffer, static_cast<size_t>(n));
        }
    }
}

std::vector<std::string> SystemLogReceiver::Entries() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

int SystemLogReceiver::Count(const std::string& text) const
{
    int count = 0;
    for (const std::string& entry : Entries())
        count += entry.find(text) != std::string::npos;
    return count;
}

bool SystemLogReceiver::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const
{
    return testsupport::WaitFor([&] { return Count(text) > 0; }, timeout, std::chrono::milliseconds(50));
}

} // namespace testsupport
