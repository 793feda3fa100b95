// The media relay: one UDP port per SIP leg, facing that leg's peer. Packets that arrive on a port
// leave from its partner's port towards the partner's peer with their payload unchanged, so any
// codec and RFC 4733 events pass through; RTCP goes the same way on the next port. One thread
// serves every port.
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

namespace voip {

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
    bool hasPeer_ = false;
    sockaddr_in peer_{};
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
    void Close(const std::shared_ptr<RelayPort>& port);
    // Where the port's peer receives; false for an address that is not IPv4.
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
