#include "voip/media/RtpRelay.h"

#include "voip/core/Log.h"
#include "voip/media/MediaEngine.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <random>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voip {

namespace {
// G.711 between its two laws, one byte to one byte: a table each way, built once.
struct LawTables
{
    uint8_t ulawToAlaw[256];
    uint8_t alawToUlaw[256];
};

const LawTables& Laws()
{
    static const LawTables tables = [] {
        LawTables t{};
        for (int code = 0; code < 256; ++code) {
            t.ulawToAlaw[code] = LinearToAlaw(UlawToLinear(static_cast<uint8_t>(code)));
            t.alawToUlaw[code] = LinearToUlaw(AlawToLinear(static_cast<uint8_t>(code)));
        }
        return t;
    }();
    return tables;
}

uint32_t RandomSsrc()
{
    static std::mutex mutex;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<uint32_t>(random());
}

in_port_t& PortField(sockaddr_storage& address)
{
    return address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(address).sin_port;
}
} // namespace

RtpRelay::RtpRelay(const std::string& address, int firstPort, int lastPort)
    : address_(address), firstPort_(firstPort & ~1), lastPort_(lastPort), nextPort_(firstPort & ~1)
{
    Laws(); // built here, not on the relay's thread at its first packet
}

RtpRelay::~RtpRelay()
{
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [fd, port] : ports_) {
        close(fd);
        if (port->rtcpFd_ >= 0)
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
        relayPort->ssrc_ = RandomSsrc();
        relayPort->fd_ = fd;
        relayPort->rtcpFd_ = rtcpFd;
        relayPort->port_ = port;
        if (!Watch(relayPort)) {
            close(fd);
            close(rtcpFd);
            return nullptr;
        }
        return relayPort;
    }
    Log(Error, "relay: no free RTP port in ", firstPort_, "-", lastPort_);
    return nullptr;
}

bool RtpRelay::Watch(const std::shared_ptr<RelayPort>& port)
{
    auto watch = [&](int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (!watch(port->fd_))
        return false;
    if (port->rtcpFd_ >= 0 && !watch(port->rtcpFd_)) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, port->fd_, nullptr);
        return false;
    }
    ports_[port->fd_] = port;
    if (port->rtcpFd_ >= 0)
        rtcp_[port->rtcpFd_] = port;
    return true;
}

std::shared_ptr<RelayPort> RtpRelay::Adopt(int rtpFd, int rtcpFd)
{
    auto refuse = [&](const char* why) {
        Log(Warning, "relay: cannot take over a media socket: ", why);
        if (rtpFd >= 0)
            close(rtpFd);
        if (rtcpFd >= 0)
            close(rtcpFd);
        return nullptr;
    };
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (rtpFd < 0 || getsockname(rtpFd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        getsockopt(rtpFd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6))
        return refuse("not a bound UDP socket");
    // The thread drains each socket until it would block; the sockets must not outlive an exec.
    for (int fd : {rtpFd, rtcpFd}) {
        if (fd < 0)
            continue;
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return refuse("its flags cannot be set");
    }
    auto port = std::make_shared<RelayPort>();
    port->ssrc_ = RandomSsrc();
    port->fd_ = rtpFd;
    port->rtcpFd_ = rtcpFd;
    port->family_ = local.ss_family;
    port->port_ = ntohs(PortField(local));
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    if (getpeername(rtpFd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 && peer.ss_family == local.ss_family) {
        port->peer_ = peer;
        port->peerLength_ = peerLength;
        port->hasPeer_ = true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoll_ < 0 || !Watch(port))
        return refuse("the relay does not run");
    return port;
}

void RtpRelay::SetCodec(const std::shared_ptr<RelayPort>& port, const RelayCodec& codec)
{
    if (!port)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    port->codec_ = codec;
}

void RtpRelay::HoldBack(const std::shared_ptr<RelayPort>& port, uint32_t ssrc, uint32_t timestamp)
{
    if (!port)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    port->cut_ = true;
    port->cutSsrc_ = ssrc;
    port->cutTs_ = timestamp;
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
    close(port->fd_);
    if (port->rtcpFd_ >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, port->rtcpFd_, nullptr);
        close(port->rtcpFd_);
        rtcp_.erase(port->rtcpFd_);
    }
    ports_.erase(it);
    port->partner_.reset();
}

bool RtpRelay::SetPeer(const std::shared_ptr<RelayPort>& port, const std::string& address, int peerPort)
{
    if (!port || peerPort <= 0 || peerPort > 65535)
        return false;
    sockaddr_storage peer{};
    socklen_t length = 0;
    in_addr v4{};
    bool isV4 = inet_pton(AF_INET, address.c_str(), &v4) == 1;
    if (port->family_ == AF_INET) {
        if (!isV4)
            return false;
        auto& to = reinterpret_cast<sockaddr_in&>(peer);
        to.sin_family = AF_INET;
        to.sin_addr = v4;
        length = sizeof to;
    } else {
        auto& to = reinterpret_cast<sockaddr_in6&>(peer);
        to.sin6_family = AF_INET6;
        if (isV4) {
            // ::ffff:a.b.c.d
            to.sin6_addr.s6_addr[10] = to.sin6_addr.s6_addr[11] = 0xff;
            std::memcpy(&to.sin6_addr.s6_addr[12], &v4, 4);
        } else if (inet_pton(AF_INET6, address.c_str(), &to.sin6_addr) != 1) {
            return false;
        }
        length = sizeof to;
    }
    PortField(peer) = htons(static_cast<uint16_t>(peerPort));
    std::lock_guard<std::mutex> lock(mutex_);
    port->peer_ = peer;
    port->peerLength_ = length;
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
    // A port that has heard nothing yet keeps what HoldBack told it.
    for (const auto& p : {a, b}) {
        if (!p->heard_)
            continue;
        p->cut_ = true;
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
    pthread_setname_np(pthread_self(), "voip-relay"); // for top, and the benchmark's CPU figures
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
                    if (out && out->hasPeer_ && out->rtcpFd_ >= 0) {
                        sockaddr_storage to = out->peer_;
                        PortField(to) = htons(static_cast<uint16_t>(ntohs(PortField(to)) + 1));
                        sendto(out->rtcpFd_, packet, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&to),
                               out->peerLength_);
                    }
                    continue;
                }
                RelayPort& from = *media->second;
                ++from.in_;
                bool admitted = Admit(from, packet, static_cast<size_t>(size));
                std::shared_ptr<RelayPort> out = from.partner_.lock();
                if (!admitted || !out || !out->hasPeer_)
                    continue;
                if (!Translate(from, *out, packet, static_cast<size_t>(size))) {
                    // What the peer takes not leaves no gap in the numbers it gets.
                    if (out->sending_ && !out->rebase_ && size >= 12 &&
                        (static_cast<uint32_t>(packet[8]) << 24 | static_cast<uint32_t>(packet[9]) << 16 |
                         static_cast<uint32_t>(packet[10]) << 8 | packet[11]) == out->sourceSsrc_)
                        --out->seqDelta_;
                    continue;
                }
                if (Restamp(*out, packet, static_cast<size_t>(size)) &&
                    sendto(out->fd_, packet, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&out->peer_),
                           out->peerLength_) == size)
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

bool RtpRelay::Translate(const RelayPort& from, RelayPort& to, unsigned char* packet, size_t size)
{
    if (size < 12 || (packet[0] >> 6) != 2)
        return true; // Restamp refuses it
    const int type = packet[1] & 0x7f;
    const unsigned char marker = packet[1] & 0x80;
    if (from.codec_.recvEventPayloadType >= 0 && type == from.codec_.recvEventPayloadType) {
        if (to.codec_.sendEventPayloadType < 0)
            return false;
        packet[1] = static_cast<unsigned char>(marker | to.codec_.sendEventPayloadType);
        return true;
    }
    const int in = from.codec_.audioPayloadType;
    const int out = to.codec_.audioPayloadType;
    if (type != in || in == out || !((in == 0 && out == 8) || (in == 8 && out == 0)))
        return true;
    // The payload lies past the sources and any header extension, before any padding.
    size_t at = 12 + 4 * static_cast<size_t>(packet[0] & 0x0f);
    if (packet[0] & 0x10) {
        if (at + 4 > size)
            return false; // malformed: its payload cannot be found
        at += 4 + 4 * static_cast<size_t>(packet[at + 2] << 8 | packet[at + 3]);
    }
    size_t end = size;
    if (packet[0] & 0x20)
        end = packet[size - 1] <= size ? size - packet[size - 1] : 0;
    if (at > end)
        return false; // malformed: its payload cannot be found
    const uint8_t* table = in == 0 ? Laws().ulawToAlaw : Laws().alawToUlaw;
    for (size_t i = at; i < end; ++i)
        packet[i] = table[packet[i]];
    packet[1] = static_cast<unsigned char>(marker | out);
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
