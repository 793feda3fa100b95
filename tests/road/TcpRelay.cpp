#include "tests/road/TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace road {

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

TcpRelay::TcpRelay(int serverPort) : serverPort_(serverPort)
{
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listenFd_, 8) != 0 || getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay()
{
    stop_ = true;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
    if (thread_.joinable())
        thread_.join();
    if (listenFd_ >= 0)
        close(listenFd_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void TcpRelay::Cut()
{
    cut_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void TcpRelay::Run()
{
    // Pairs of (client, server) descriptors; everything runs on this one thread.
    std::vector<std::pair<int, int>> pairs;
    auto closePair = [](std::pair<int, int>& p) {
        close(p.first);
        close(p.second);
    };
    while (!stop_) {
        if (cut_.exchange(false)) {
            for (auto& p : pairs)
                closePair(p);
            pairs.clear();
        }
        std::vector<pollfd> fds{{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        for (const auto& p : pairs) {
            fds.push_back({p.first, POLLIN, 0});
            fds.push_back({p.second, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        if (fds[1].revents) {
            uint64_t value;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &value, sizeof value);
        }
        std::vector<bool> dead(pairs.size(), false);
        for (size_t i = 0; i < pairs.size(); ++i) {
            for (int side = 0; side < 2; ++side) {
                const pollfd& f = fds[2 + 2 * i + side];
                if (!f.revents)
                    continue;
                char buffer[65536];
                const ssize_t n = read(f.fd, buffer, sizeof buffer);
                const int to = side == 0 ? pairs[i].second : pairs[i].first;
                if (n <= 0 || send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    dead[i] = true;
            }
        }
        for (size_t i = pairs.size(); i-- > 0;)
            if (dead[i]) {
                closePair(pairs[i]);
                pairs.erase(pairs.begin() + static_cast<long>(i));
            }
        if (fds[0].revents) {
            const int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = Loopback(serverPort_);
            if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(client);
                if (server >= 0)
                    close(server);
                continue;
            }
            pairs.emplace_back(client, server);
            ++accepted_;
        }
    }
    for (auto& p : pairs)
        closePair(p);
}

} // namespace road
