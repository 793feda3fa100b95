#include "tests/support/Loopback.h"

#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool Free(int type, int port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = LoopbackAddress(port);
    const bool free = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        close(fd);
    return free;
}

// Above the kernel's ephemeral range (32768-60999 here) and the media engines' ranges.
int FreePort(int type, int count, bool even)
{
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int port = 61000 + static_cast<int>(random() % 4000);
        if (even)
            port &= ~1;
        bool free = true;
        for (int i = 0; i < count && free; ++i)
            free = Free(type, port + i);
        if (free)
            return port;
    }
    return -1;
}

} // namespace

int FreeUdpPort(int count, bool even) { return FreePort(SOCK_DGRAM, count, even); }

int FreeTcpPort() { return FreePort(SOCK_STREAM, 1, false); }

bool WaitUntilBound(int port, std::chrono::milliseconds timeout)
{
    return WaitFor([port] { return !Free(SOCK_DGRAM, port); }, timeout);
}

sockaddr_in LoopbackAddress(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int BoundUdpSocket(int port, int flags)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | flags, 0);
    const sockaddr_in addr = LoopbackAddress(port);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd)
{
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0 ? ntohs(addr.sin_port) : 0;
}

TcpListener::TcpListener(int backlog)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = LoopbackAddress(0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, backlog) != 0 || (port_ = PortOf(fd_)) == 0) {
        if (fd_ >= 0)
            close(fd_);
        throw std::runtime_error("no listening socket on 127.0.0.1");
    }
}

TcpListener::~TcpListener() { close(fd_); }

int TcpListener::Accept(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace testsupport
