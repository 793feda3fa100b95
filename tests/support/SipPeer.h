// Real SIP peers for tests: SIPp run as a child process with a deadline, and a raw RTP phone.
#pragma once

#include "tests/support/ChildProcess.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace voip {

class SippProcess : public testsupport::ChildProcess
{
public:
    // Runs "sipp args..." on 127.0.0.1 without a terminal, tracing errors and its final screen; a
    // signalling (-p) or media port (-mp) the test does not name is a free one.
    bool Start(const std::vector<std::string>& args);

    // What a run with -trace_stat and -trace_rtt left in the folder.
    struct Results
    {
        int successful = 0;
        int failed = 0;
        std::vector<double> latenciesMs; // INVITE->200, one per call
    };
    Results Statistics() const;
};

// The scenario file of that name in the tests' sipp folder.
std::string Scenario(const std::string& name);
// A copy of it in folder with every key replaced by its value (SIPp puts no keywords into attributes).
std::string Scenario(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values,
                     const std::string& folder);

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
