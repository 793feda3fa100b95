// RTP media of all calls: G.711 (PCMU, PCMA) and RFC 4733 telephone events on oRTP, paced by a few
// threads (one per core), each serving its share of the streams on its own absolute 20 ms deadline.
#pragma once

#include "voip/core/AudioSource.h"
#include "voip/media/MediaParams.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _RtpSession;
struct _RtpProfile;

namespace voip {

// A running stream's peer, given to another owner (the relay) that carries it on without a re-INVITE.
struct MediaHandover
{
    int rtpFd = -1;
    int rtcpFd = -1;
    MediaParams params;         // what the stream ran with (remote address/port, PTs)
    bool keyInProgress = false; // a received key press had not ended (or its end packets may still come)
    uint32_t keySsrc = 0;
    uint32_t keyTimestamp = 0;
};

class MediaStream
{
public:
    ~MediaStream();
    MediaStream(const MediaStream&) = delete;
    MediaStream& operator=(const MediaStream&) = delete;

    int LocalPort() const { return localPort_; }
    // Starts sending and receiving, or follows a changed remote side. A null source sends silence.
    void Start(const MediaParams& params, std::shared_ptr<AudioSource> source);
    void Stop();
    bool Running() const;
    // Queues keys to send as RFC 4733 events; false when the peer takes none.
    bool SendDigits(const std::string& keys);
    // Stops the stream for good and gives its sockets away (duplicates of them; the stream then holds
    // none, so its port stays taken by the new owner, who closes them). False when it never ran or
    // has none. Any thread, the pacing threads running.
    bool Handover(MediaHandover& out);

    uint64_t PacketsSent() const { return sent_; }
    uint64_t PacketsReceived() const { return received_; }

    // A key press received (once per press, at its first packet, with or without end packets); no
    // RTP for too long. Set before Start. They run on the engine's event thread, in the order they
    // happened, never on a pacing thread: the pacing thread only files them.
    std::function<void(char)> onDigit;
    std::function<void()> onTimeout;

private:
    friend class MediaEngine;
    class Events;
    MediaStream() = default;
    // readable: the pacing thread saw data (or an error) waiting on a socket; without it, and with
    // nothing left from the last read, the sockets are not read.
    void Tick(std::chrono::steady_clock::time_point now, std::chrono::milliseconds timeout, bool readable);
    void SendEventPacket();
    static void OnEventPacket(_RtpSession* session, void* packet, void* self, void*);
    void TakeEvent(uint32_t timestamp, int event, unsigned duration, bool end, bool marker,
                   std::chrono::steady_clock::time_point now);

    _RtpSession* session_ = nullptr;
    _RtpProfile* profile_ = nullptr;
    // The session's sockets for the pacing thread's readiness check, read without the lock: a stale
    // number costs one read that finds nothing. -1: none.
    std::atomic<int> rtpFd_{-1}, rtcpFd_{-1};
    bool drained_ = true; // oRTP holds no packet from the last read
    int localPort_ = 0;
    std::weak_ptr<MediaStream> self_;
    Events* events_ = nullptr; // the engine's, which outlives every Tick
    mutable std::mutex mutex_;
    bool running_ = false;
    bool ran_ = false;
    bool handedOver_ = false;
    bool timedOut_ = false;
    MediaParams params_;
    std::shared_ptr<AudioSource> source_;
    uint32_t ts_ = 0;
    uint32_t recvTs_ = 0;
    std::deque<char> digits_;
    int eventTick_ = -1; // position inside the event being sent; -1 none
    uint32_t eventTs_ = 0;
    char eventKey_ = 0;
    // Received events, known by timestamp and code. One is taken at its first packet; its repeats
    // and end packets, however many or none, add nothing. It ends with its end packet or when its
    // packets stop coming.
    struct HeardEvent
    {
        uint32_t ts = 0;
        int code = -1;
    };
    bool heard_ = false;
    HeardEvent current_;
    uint32_t currentSsrc_ = 0;
    bool currentEnded_ = false;
    unsigned currentDuration_ = 0;
    std::chrono::steady_clock::time_point currentLast_;
    HeardEvent earlier_[8]; // ended before the current one, for late packets
    size_t earlierNext_ = 0;
    std::chrono::steady_clock::time_point tickTime_;
    bool firstPacket_ = true;
    uint64_t lastReceived_ = 0;
    std::chrono::steady_clock::time_point lastActivity_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> received_{0};
};

class MediaEngine
{
public:
    // threads pacing threads; 0: one per core, at most 8.
    explicit MediaEngine(unsigned threads = 0);
    ~MediaEngine(); // Stop()
    MediaEngine(const MediaEngine&) = delete;
    MediaEngine& operator=(const MediaEngine&) = delete;

    // A stream bound to an even port of [firstPort, lastPort) on localAddress; null when none is free.
    std::shared_ptr<MediaStream> CreateStream(const std::string& localAddress);
    void SetPortRange(int firstPort, int lastPort);
    // No RTP received for this long clears the stream's call (onTimeout).
    void SetInactivityTimeout(std::chrono::milliseconds timeout);
    size_t StreamCount() const;
    // Ends the pacing thread: no stream is served, no callback runs afterwards. Idempotent.
    void Stop();

    // How late the pacing threads woke after each deadline since the last call, in microseconds.
    std::vector<int> TakeLateness();
    size_t PacingThreads() const { return pacers_.size(); }

private:
    struct Pacer
    {
        std::mutex mutex;
        std::vector<std::weak_ptr<MediaStream>> streams;
        std::vector<int> lateness;
        std::thread thread;
    };
    void Run(Pacer& pacer, std::chrono::nanoseconds offset);

    mutable std::mutex mutex_; // the port allocator
    std::unique_ptr<MediaStream::Events> events_;
    std::vector<std::unique_ptr<Pacer>> pacers_;
    int firstPort_ = 20000;
    int lastPort_ = 40000;
    int nextPort_ = 20000;
    std::atomic<int64_t> timeoutMs_{60000};
    std::atomic<bool> stop_{false};
};

// G.711 of one sample.
uint8_t LinearToUlaw(int16_t sample);
uint8_t LinearToAlaw(int16_t sample);
int16_t UlawToLinear(uint8_t code);
int16_t AlawToLinear(uint8_t code);

// The key of an RFC 4733 event code (0..15), or 0.
char EventKey(int event);
// The RFC 4733 event code of a key, or -1.
int KeyEvent(char key);

} // namespace voip
