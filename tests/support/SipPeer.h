// Real SIP peers for tests: free loopback ports, and SIPp run as a child process with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace voip {

// A loopback UDP port free now, with the next count - 1 ports free as well; even when asked.
int FreeUdpPort(int count = 1, bool even = false);

// Waits until something binds the loopback UDP port (a peer started in the background is ready).
bool WaitUntilBound(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A peer program run as a child in a fresh folder, its output in peer.log there.
class PeerProcess
{
public:
    PeerProcess() = default;
    virtual ~PeerProcess(); // kills a peer still running and removes its folder
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Creates the folder (Folder()) before the program runs, so files can be put there first.
    bool MakeFolder();
    const std::string& Folder() const { return folder_; }
    // argv[0] is the program; with input, its standard input is a pipe fed by Write.
    bool Run(const std::vector<std::string>& argv, bool input = false);
    bool Write(const std::string& text);
    // The exit code, or -1000 when it did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(40));
    // Waits until the output holds text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the output holds any of texts.
    bool WaitForAnyOutput(const std::vector<std::string>& texts,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Everything the peer wrote in its folder, for failure messages.
    std::string Log() const;
    std::string Output() const;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string folder_;
};

class SippProcess : public PeerProcess
{
public:
    // Runs "sipp args..." without a terminal, tracing errors and its final screen.
    bool Start(const std::vector<std::string>& args);
};

// The scenario file of that name in the tests' sipp folder.
std::string Scenario(const std::string& name);

// A phone of raw RTP datagrams on a loopback port of its own, for what a real stack would not send.
class RawRtpPeer
{
public:
    RawRtpPeer();
    ~RawRtpPeer();
    RawRtpPeer(const RawRtpPeer&) = delete;
    RawRtpPeer& operator=(const RawRtpPeer&) = delete;
    // A packet with the next sequence number and four payload bytes (zero unless given).
    void Send(int toPort, uint32_t timestamp, int payloadType, bool marker, const uint8_t* payload = nullptr);
    // An RFC 4733 event packet, payload type 101.
    void SendEvent(int toPort, uint32_t timestamp, int event, bool end, bool marker, uint16_t duration);
    // The next datagram to arrive; none within the time: empty.
    std::string Receive(int timeoutMs);
    // The RTP timestamp of the next packet to arrive; none within the time: -1.
    int64_t ReceiveTimestamp(int timeoutMs);
    int port = 0;

private:
    int fd_ = -1;
    uint16_t seq_ = 100;
};

} // namespace voip
