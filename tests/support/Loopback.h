// Ports and sockets on 127.0.0.1 for tests.
//
// A port handed to another program (a peer's command line, a settings file) is taken above the
// kernel's ephemeral range: free when checked, it stays free until that program binds it, as no
// socket bound to port 0 meanwhile can land on it. A socket the test binds and keeps itself may take
// the kernel's choice.
#pragma once

#include <chrono>
#include <netinet/in.h>

namespace testsupport {

// A UDP port free now, with the next count - 1 ports free as well; even when asked (RTP and RTCP).
int FreeUdpPort(int count = 1, bool even = false);
// A TCP port nothing listens on now.
int FreeTcpPort();
// Waits until something binds the UDP port (a peer started in the background is ready).
bool WaitUntilBound(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

sockaddr_in LoopbackAddress(int port);
// A UDP socket bound to the port (0: one the kernel picks), with socket() flags; -1 on failure.
int BoundUdpSocket(int port = 0, int flags = 0);
// The local port a socket is bound to.
int PortOf(int fd);

// A TCP socket listening on a port the kernel picks; closed when it goes.
class TcpListener
{
public:
    // Throws std::runtime_error when it cannot listen.
    explicit TcpListener(int backlog = 64);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    int Fd() const { return fd_; }
    int Port() const { return port_; }
    // The next connection (the caller closes it) within timeout; -1 when none came.
    int Accept(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace testsupport
