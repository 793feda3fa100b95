// The media relay: one UDP port per SIP leg, facing that leg's peer. Packets that arrive on a port
// leave from its partner's port towards the partner's peer; RTCP goes the same way on the next port.
// By default the payload passes unchanged, so any codec and RFC 4733 events pass through; ports
// told their peer's codec (SetCodec) have G.711 transcoded and event payload types renumbered
// between them. One thread serves every port. Ports are opened from a range (a switch in the
// middle of calls) or adopt the sockets of an endpoint's own media streams (calls it joins).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

namespace voip {

// What a port's peer sends and takes. -1 audio: the payload passes unchanged (the exchange's way).
struct RelayCodec
{
    int audioPayloadType = -1;     // 0 PCMU or 8 PCMA
    int sendEventPayloadType = -1; // telephone-event as the peer numbers it (what leaves towards the peer);
                                   // -1: the peer takes none
    int recvEventPayloadType = -1; // telephone-event as the peer sends it to us
};

class RelayPort
{
public:
    int Port() const { return port_; }
    uint64_t PacketsIn() const { return in_; }
    uint64_t PacketsOut() const { return out_; }
    // When the port's peer last sent RTP or RTCP (steady clock); the epoch when it never has.
    std::chrono::steady_clock::time_point LastHeard() const
    {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastHeard_.load()));
    }

private:
    friend class RtpRelay;
    int fd_ = -1;
    int rtcpFd_ = -1;
    int port_ = 0;
    int family_ = AF_INET;
    bool hasPeer_ = false;
    sockaddr_storage peer_{}; // of the socket's family: an IPv6 socket reaches IPv4 peers mapped
    socklen_t peerLength_ = 0;
    RelayCodec codec_;
    std::weak_ptr<RelayPort> partner_;
    // The stream leaving this port keeps one identity and runs on when its partner changes (a
    // join): receivers would otherwise drop a new source for a while, or its digits.
    uint32_t ssrc_ = 0;
    bool sending_ = false;
    bool rebase_ = true;
    uint32_t sourceSsrc_ = 0;
    uint16_t seqDelta_ = 0;
    uint32_t tsDelta_ = 0;
    uint16_t lastSeq_ = 0;
    uint32_t lastTs_ = 0;
    // What last came in, and at a (re)link what must not follow into the new partner: the rest of
    // a key press the source began towards the old one (its packets share one timestamp).
    bool heard_ = false;
    uint32_t heardSsrc_ = 0;
    uint32_t heardTs_ = 0;
    bool cut_ = false;
    uint32_t cutSsrc_ = 0;
    uint32_t cutTs_ = 0;
    std::atomic<uint64_t> in_{0};
    std::atomic<uint64_t> out_{0};
    std::atomic<std::chrono::steady_clock::rep> lastHeard_{0};
};

class RtpRelay
{
public:
    // Ports are taken from [firstPort, lastPort) on address, even ones only (RTCP is not relayed).
    RtpRelay(const std::string& address, int firstPort, int lastPort);
    ~RtpRelay();
    RtpRelay(const RtpRelay&) = delete;
    RtpRelay& operator=(const RtpRelay&) = delete;

    bool Start();
    void Stop();
    const std::string& Address() const { return address_; }

    // Null when no port is free.
    std::shared_ptr<RelayPort> Open();
    // Takes over a bound UDP socket for RTP (and its RTCP socket, or -1) already facing a peer: the
    // relay owns and closes them (on failure too). A connected socket's peer is taken as the port's;
    // else SetPeer names it. Null on failure.
    std::shared_ptr<RelayPort> Adopt(int rtpFd, int rtcpFd);
    void SetCodec(const std::shared_ptr<RelayPort>& port, const RelayCodec& codec);
    // The rest of a key press the port's peer began before (its packets carry this SSRC and RTP
    // timestamp) is not relayed. A later Link keeps it while the port has heard nothing since.
    void HoldBack(const std::shared_ptr<RelayPort>& port, uint32_t ssrc, uint32_t timestamp);
    void Close(const std::shared_ptr<RelayPort>& port);
    // Where the port's peer receives; false for an address the port's socket cannot reach (not IPv4
    // on an IPv4 socket).
    bool SetPeer(const std::shared_ptr<RelayPort>& port, const std::string& address, int peerPort);
    // Media arriving on a leaves through b and the other way round; a port has one partner at a time.
    void Link(const std::shared_ptr<RelayPort>& a, const std::shared_ptr<RelayPort>& b);
    void Unlink(const std::shared_ptr<RelayPort>& port);
    size_t PortCount() const;

private:
    void Run();
    // Gives a packet about to leave through port that port's stream identity; false for no RTP.
    static bool Restamp(RelayPort& port, unsigned char* packet, size_t size);
    // Notes a packet arriving on port; false for the remainder of what began before the port's link.
    static bool Admit(RelayPort& port, const unsigned char* packet, size_t size);
    // Turns a packet that came in on from into what to's peer takes; false for one it takes not.
    static bool Translate(const RelayPort& from, RelayPort& to, unsigned char* packet, size_t size);
    // Watches an owned port's sockets; false (nothing kept) when epoll refuses them.
    bool Watch(const std::shared_ptr<RelayPort>& port);

    const std::string address_;
    const int firstPort_;
    const int lastPort_;
    int nextPort_;
    int epoll_ = -1;
    int wake_ = -1; // eventfd that ends the thread
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<int, std::shared_ptr<RelayPort>> ports_; // by RTP descriptor
    std::map<int, std::shared_ptr<RelayPort>> rtcp_;  // by RTCP descriptor
};

} // namespace voip
