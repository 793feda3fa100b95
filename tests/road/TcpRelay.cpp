#include "tests/road/TcpRelay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace road {

TcpRelay::TcpRelay(int serverPort) : serverPort_(serverPort), listener_(8)
{
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
        std::vector<pollfd> fds{{listener_.Fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
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
            const int client = accept4(listener_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in a = testsupport::LoopbackAddress(serverPort_);
            if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
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
