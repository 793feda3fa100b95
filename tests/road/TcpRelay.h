// A TCP relay on 127.0.0.1 standing between a client and a server, whose connections a test can cut
// at will (the server and the client both stay up); new connections are relayed again at once.
#pragma once

#include "tests/support/Loopback.h"

#include <atomic>
#include <thread>
#include <vector>

namespace road {

class TcpRelay
{
public:
    explicit TcpRelay(int serverPort);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int Port() const { return listener_.Port(); }
    // Closes every relayed connection; both ends see them drop.
    void Cut();
    int Accepted() const { return accepted_; }

private:
    void Run();

    int serverPort_;
    testsupport::TcpListener listener_;
    int wakeFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

} // namespace road
