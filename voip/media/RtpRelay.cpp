#include "voip/media/RtpRelay.h"

#include "voip/core/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <random>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voip {

RtpRelay::RtpRelay(const std::string& address, int firstPort, int lastPort)
    : address_(address), firstPort_(firstPort & ~1), lastPort_(lastPort), nextPort_(firstPort & ~1)
{
}

RtpRelay::~RtpRelay()
{
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [fd, port] : ports_) {
        close(fd);
        close(port->rtcpFd_);
    }
    ports_.clear();
    rtcp_.clear();
}

bool RtpRelay::Start()
{
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0)
        return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void RtpRelay::Stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0)
            Log(Warning, "relay: cannot wake its thread");
        thread_.join();
    }
    if (wake_ >= 0)
        close(wake_);
    if (epoll_ >= 0)
        close(epoll_);
    wake_ = epoll_ = -1;
}

std::shared_ptr<RelayPort> RtpRelay::Open()
{
    in_addr host{};
    if (inet_pton(AF_INET, address_.c_str(), &host) != 1)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    int span = (lastPort_ - firstPort_) / 2;
    auto bindUdp = [&](int port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr = host;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd); // taken by someone else
            fd = -1;
        }
        return fd;
    };
    auto watch = [&](int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    for (int attempt = 0; attempt < span; ++attempt) {
        int port = nextPort_;
        nextPort_ += 2;
        if (nextPort_ + 1 >= lastPort_)
            nextPort_ = firstPort_;
        // RTCP is relayed too, on the next port: a report sent to a closed port draws an ICMP error,
        // on which some phones hang up.
        int fd = bindUdp(port);
        int rtcpFd = fd >= 0 ? bindUdp(port + 1) : -1;
        if (rtcpFd < 0) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        auto relayPort = std::make_shared<RelayPort>();
        static std::mt19937 random{std::random_device{}()};
        relayPort->ssrc_ = static_cast<uint32_t>(random());
        relayPort->fd_ = fd;
        relayPort->rtcpFd_ = rtcpFd;
        relayPort->port_ = port;
        if (!watch(fd) || !watch(rtcpFd)) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            close(fd);
            close(rtcpFd);
            return nullptr;
        }
        ports_[fd] = relayPort;
        rtcp_[rtcpFd] = relayPort;
        return relayPort;
    }
    Log(Error, "relay: no free RTP port in ", firstPort_, "-", lastPort_);
    return nullptr;
}

void RtpRelay::Close(const std::shared_ptr<RelayPort>& port)
{
    if (!port)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ports_.find(port->fd_);
    if (it == ports_.end() || it->second != port)
        return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, port->fd_, nullptr);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, port->rtcpFd_, nullptr);
    close(port->fd_);
    close(port->rtcpFd_);
    ports_.erase(it);
    rtcp_.erase(port->rtcpFd_);
    port->partner_.reset();
}

bool RtpRelay::SetPeer(const std::shared_ptr<RelayPort>& port, const std::string& address, int peerPort)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(peerPort));
    if (!port || peerPort <= 0 || peerPort > 65535 || inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    port->peer_ = peer;
    port->hasPeer_ = true;
    return true;
}

void RtpRelay::Link(const std::shared_ptr<RelayPort>& a, const std::shared_ptr<RelayPort>& b)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& p : {a, b})
        if (auto old = p->partner_.lock())
            old->partner_.reset();
    a->partner_ = b;
    b->partner_ = a;
    a->rebase_ = b->rebase_ = true;
    for (const auto& p : {a, b}) {
        p->cut_ = p->heard_;
        p->cutSsrc_ = p->heardSsrc_;
        p->cutTs_ = p->heardTs_;
    }
}

void RtpRelay::Unlink(const std::shared_ptr<RelayPort>& port)
{
    if (!port)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto old = port->partner_.lock())
        old->partner_.reset();
    port->partner_.reset();
}

size_t RtpRelay::PortCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ports_.size();
}

void RtpRelay::Run()
{
    epoll_event events[64];
    unsigned char packet[2048];
    while (!stop_) {
        int n = epoll_wait(epoll_, events, 64, 500);
        if (n < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == wake_)
                continue;
            // The lock is held from the read to the send: no descriptor of this port or its partner
            // can be closed (and its number reused) meanwhile.
            std::lock_guard<std::mutex> lock(mutex_);
            auto media = ports_.find(fd);
            auto control = media == ports_.end() ? rtcp_.find(fd) : rtcp_.end();
            if (media == ports_.end() && control == rtcp_.end())
                continue; // closed since epoll saw it
            for (;;) {
                ssize_t size = recv(fd, packet, sizeof packet, 0);
                if (size < 0)
                    break; // drained
                (media == ports_.end() ? control->second : media->second)->lastHeard_ =
                    std::chrono::steady_clock::now().time_since_epoch().count();
                if (media == ports_.end()) {
                    std::shared_ptr<RelayPort> out = control->second->partner_.lock();
                    if (out && out->hasPeer_) {
                        sockaddr_in to = out->peer_;
                        to.sin_port = htons(static_cast<uint16_t>(ntohs(to.sin_port) + 1));
                        sendto(out->rtcpFd_, packet, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&to),
                               sizeof to);
                    }
                    continue;
                }
                ++media->second->in_;
                bool admitted = Admit(*media->second, packet, static_cast<size_t>(size));
                std::shared_ptr<RelayPort> out = media->second->partner_.lock();
                if (admitted && out && out->hasPeer_ && Restamp(*out, packet, static_cast<size_t>(size)) &&
                    sendto(out->fd_, packet, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&out->peer_),
                           sizeof out->peer_) == size)
                    ++out->out_;
            }
        }
    }
}

bool RtpRelay::Admit(RelayPort& port, const unsigned char* packet, size_t size)
{
    if (size < 12 || (packet[0] >> 6) != 2)
        return true; // Restamp refuses it
    uint32_t ts = static_cast<uint32_t>(packet[4]) << 24 | static_cast<uint32_t>(packet[5]) << 16 |
                  static_cast<uint32_t>(packet[6]) << 8 | packet[7];
    uint32_t source = static_cast<uint32_t>(packet[8]) << 24 | static_cast<uint32_t>(packet[9]) << 16 |
                      static_cast<uint32_t>(packet[10]) << 8 | packet[11];
    port.heard_ = true;
    port.heardSsrc_ = source;
    port.heardTs_ = ts;
    if (!port.cut_ || source != port.cutSsrc_)
        return true;
    // Audio moves its timestamp on every frame; an event's packets keep the one of its start. The
    // tail of a key pressed before a join would otherwise reach the new party as a press of its own.
    if (ts == port.cutTs_)
        return false;
    port.cut_ = false;
    return true;
}

bool RtpRelay::Restamp(RelayPort& port, unsigned char* packet, size_t size)
{
    if (size < 12 || (packet[0] >> 6) != 2)
        return false;
    auto get16 = [&](size_t at) { return static_cast<uint16_t>(packet[at] << 8 | packet[at + 1]); };
    auto get32 = [&](size_t at) {
        return static_cast<uint32_t>(packet[at]) << 24 | static_cast<uint32_t>(packet[at + 1]) << 16 |
               static_cast<uint32_t>(packet[at + 2]) << 8 | packet[at + 3];
    };
    auto put16 = [&](size_t at, uint16_t v) {
        packet[at] = static_cast<unsigned char>(v >> 8);
        packet[at + 1] = static_cast<unsigned char>(v);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            packet[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    };
    uint16_t seq = get16(2);
    uint32_t ts = get32(4);
    uint32_t source = get32(8);
    if (port.rebase_) {
        // The first source after a (re)link continues where the last one stopped, a frame later.
        port.seqDelta_ = port.sending_ ? static_cast<uint16_t>(port.lastSeq_ + 1 - seq) : 0;
        port.tsDelta_ = port.sending_ ? port.lastTs_ + 160 - ts : 0;
        port.sourceSsrc_ = source;
        port.rebase_ = false;
        port.sending_ = true;
    }
    // Packets of any other source pass as they are (some senders stray, e.g. byte-swapped repeats).
    if (source != port.sourceSsrc_)
        return true;
    port.lastSeq_ = static_cast<uint16_t>(seq + port.seqDelta_);
    port.lastTs_ = ts + port.tsDelta_;
    put16(2, port.lastSeq_);
    put32(4, port.lastTs_);
    put32(8, port.ssrc_);
    return true;
}

} // namespace voip
