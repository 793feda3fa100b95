// A database host on 127.0.0.1 that drops packets, for the database tests and the wait bench.
#pragma once

#include "tests/support/Loopback.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// A database host that drops packets: the port takes connections and never says a word. Given the port
// of a server, it relays to that server until it falls silent: then the connections stay up and nothing
// passes either way, as when a host's network goes away under an open connection.
class SilentHost
{
public:
    explicit SilentHost(int serverPort = 0) : server(serverPort)
    {
        silent = server == 0;
        acceptor = std::thread([this] { run(); });
    }
    ~SilentHost()
    {
        stopping = true;
        acceptor.join();
        for (const Link& link : links) {
            close(link.client);
            if (link.server >= 0)
                close(link.server);
        }
    }
    size_t Connections()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return accepted;
    }
    void FallSilent() { silent = true; }
    void Answer() { silent = server == 0; }
    // Something a client sent is waiting to pass.
    bool Holding()
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (const Link& link : links) {
            pollfd p{link.client, POLLIN, 0};
            if (poll(&p, 1, 0) > 0)
                return true;
        }
        return false;
    }

    // Listening before the port is read below.
    testsupport::TcpListener listener;
    const int port = listener.Port();

private:
    struct Link
    {
        int client;
        int server;
    };

    void run()
    {
        while (!stopping) {
            std::vector<pollfd> fds{{listener.Fd(), POLLIN, 0}};
            if (!silent)
                for (const Link& link : links)
                    fds.insert(fds.end(), {{link.client, POLLIN, 0}, {link.server, POLLIN, 0}});
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                take();
            for (size_t i = 1; i < fds.size() && !silent; ++i)
                if (fds[i].revents && !pass(fds[i].fd))
                    break; // a link went: the rest of fds may name closed sockets
        }
    }

    void take()
    {
        const int client = listener.Accept(std::chrono::milliseconds(0));
        if (client < 0)
            return;
        int upstream = -1;
        if (server) {
            upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = testsupport::LoopbackAddress(server);
            if (connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                close(upstream);
                close(client);
                return;
            }
        }
        std::lock_guard<std::mutex> guard(mutex);
        links.push_back({client, upstream});
        ++accepted;
    }

    // False when the link of fd has closed.
    bool pass(int fd)
    {
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        std::lock_guard<std::mutex> guard(mutex);
        auto link = std::find_if(links.begin(), links.end(),
                                 [fd](const Link& l) { return l.client == fd || l.server == fd; });
        const int other = link->client == fd ? link->server : link->client;
        for (ssize_t sent = 0, m = 0; n > 0 && sent < n; sent += m)
            if ((m = send(other, buffer + sent, size_t(n - sent), MSG_NOSIGNAL)) <= 0)
                break;
        if (n > 0)
            return true;
        close(link->client);
        close(link->server);
        links.erase(link);
        return false;
    }

    const int server;
    std::atomic<bool> stopping{false};
    std::atomic<bool> silent{true};
    std::mutex mutex;
    std::vector<Link> links; // changed by the acceptor thread only, under mutex
    size_t accepted = 0;
    std::thread acceptor;
};
