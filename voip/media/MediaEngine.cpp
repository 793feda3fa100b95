#include "voip/media/MediaEngine.h"

#include "voip/core/Log.h"

#include <ortp/ortp.h>
#include <ortp/telephonyevents.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>

// Last: spandsp's telephony.h redefines math functions the standard headers declare.
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

namespace voip {

namespace {
constexpr int kEventTicks = 5;  // 100 ms of key press
constexpr int kEventGap = 3;    // ticks of audio between two keys
constexpr int kMaxReadsPerTick = 16;
constexpr int kPacingNice = -10;
constexpr size_t kFiledEvents = 4096; // keys and time-outs waiting for the event thread, before it allocates
// An event whose packets stopped coming for this long is over.
constexpr auto kEventSilence = std::chrono::milliseconds(300);

void InitOrtp()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ortp_init();
        // A busy port is tried and skipped: its bind error is no news.
        bctbx_set_log_level("ortp", BCTBX_LOG_FATAL);
    });
}

uint32_t RandomWord()
{
    static std::mutex mutex;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    return random();
}
} // namespace

// G.711 is spandsp's coder.

uint8_t LinearToUlaw(int16_t sample)
{
    return linear_to_ulaw(sample);
}

int16_t UlawToLinear(uint8_t code)
{
    return ulaw_to_linear(code);
}

uint8_t LinearToAlaw(int16_t sample)
{
    return linear_to_alaw(sample);
}

int16_t AlawToLinear(uint8_t code)
{
    return alaw_to_linear(code);
}

char EventKey(int event)
{
    static const char keys[] = "0123456789*#ABCD";
    return event >= 0 && event < 16 ? keys[event] : 0;
}

int KeyEvent(char key)
{
    static const char keys[] = "0123456789*#ABCD";
    const char* at = std::strchr(keys, key >= 'a' && key <= 'd' ? key - 'a' + 'A' : key);
    return at && key ? static_cast<int>(at - keys) : -1;
}

MediaStream::~MediaStream()
{
    rtpFd_ = rtcpFd_ = -1;
    if (session_)
        rtp_session_destroy(session_);
    if (profile_)
        rtp_profile_destroy(profile_);
}

void MediaStream::Start(const MediaParams& params, std::shared_ptr<AudioSource> source)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (handedOver_)
        return; // its sockets are another's
    params_ = params;
    source_ = std::move(source);
    rtp_profile_clear_all(profile_);
    rtp_profile_set_payload(profile_, 0, &payload_type_pcmu8000);
    rtp_profile_set_payload(profile_, 8, &payload_type_pcma8000);
    // One profile serves both directions; the peer's event number is the one we send with.
    if (params.sendEventPayloadType >= 0)
        rtp_profile_set_payload(profile_, params.sendEventPayloadType, &payload_type_telephone_event);
    if (params.recvEventPayloadType >= 0 && params.recvEventPayloadType != params.sendEventPayloadType)
        rtp_profile_set_payload(profile_, params.recvEventPayloadType, &payload_type_telephone_event);
    rtp_session_set_profile(session_, profile_);
    rtp_session_set_payload_type(session_, params.payloadType);
    rtp_session_set_remote_addr(session_, params.remoteAddress.c_str(), params.remotePort);
    // Taken again once the peer is set, in case oRTP bound its sockets anew for it.
    rtpFd_ = rtp_session_get_rtp_socket(session_);
    rtcpFd_ = rtp_session_get_rtcp_socket(session_);
    rtp_session_send_telephone_events_supported(session_);
    rtp_session_recv_telephone_events_supported(session_);
    if (!running_) {
        lastActivity_ = std::chrono::steady_clock::now();
        firstPacket_ = true;
    }
    running_ = true;
    ran_ = true;
}

void MediaStream::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    source_.reset();
}

bool MediaStream::Handover(MediaHandover& out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ran_ || handedOver_ || !session_)
        return false;
    const int rtp = rtp_session_get_rtp_socket(session_);
    const int rtcp = rtp_session_get_rtcp_socket(session_);
    if (rtp < 0 || rtcp < 0)
        return false;
    // Duplicates share the bound sockets; once the session's own are closed, the port is the new
    // owner's alone and the session's destruction has nothing left to close.
    const int rtpCopy = fcntl(rtp, F_DUPFD_CLOEXEC, 0);
    const int rtcpCopy = rtpCopy >= 0 ? fcntl(rtcp, F_DUPFD_CLOEXEC, 0) : -1;
    if (rtcpCopy < 0) {
        if (rtpCopy >= 0)
            close(rtpCopy);
        Log(Warning, "voip: cannot hand over the media of port ", localPort_);
        return false;
    }
    rtpFd_ = rtcpFd_ = -1;
    rtp_session_release_sockets(session_);
    running_ = false;
    handedOver_ = true;
    source_.reset();
    digits_.clear();
    out.rtpFd = rtpCopy;
    out.rtcpFd = rtcpCopy;
    out.params = params_;
    // A key whose end was heard may still have end packets coming; holding those back too is harmless,
    // as the new owner holds back only packets of that very key.
    out.keyInProgress =
        heard_ && (!currentEnded_ || std::chrono::steady_clock::now() - currentLast_ <= kEventSilence);
    out.keySsrc = currentSsrc_;
    out.keyTimestamp = current_.ts;
    return true;
}

bool MediaStream::Running() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

// What the pacing threads hand to the event thread: keys and time-outs, filed in a ring allocated once,
// so a pacing thread never allocates nor runs the connection's code. Only a burst beyond the ring
// spills into a queue that allocates, and nothing is dropped.
class MediaStream::Events
{
public:
    Events() : ring_(kFiledEvents), thread_([this] { Run(); }) {}
    ~Events()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_one();
        thread_.join();
    }

    // key 0: the stream timed out.
    void File(const std::weak_ptr<MediaStream>& stream, char key)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
            if (spilled_.empty() && count_ < ring_.size()) {
                ring_[(head_ + count_) % ring_.size()] = {stream, key};
                ++count_;
            } else {
                spilled_.push_back({stream, key});
            }
        }
        changed_.notify_one();
    }

private:
    struct Event
    {
        std::weak_ptr<MediaStream> stream;
        char key = 0;
    };

    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stop_ || count_ > 0 || !spilled_.empty(); });
            if (stop_)
                return;
            Event event;
            if (count_ > 0) {
                event = std::move(ring_[head_]);
                head_ = (head_ + 1) % ring_.size();
                --count_;
            } else {
                event = std::move(spilled_.front());
                spilled_.pop_front();
            }
            lock.unlock();
            if (auto stream = event.stream.lock()) {
                if (event.key && stream->onDigit)
                    stream->onDigit(event.key);
                else if (!event.key && stream->onTimeout)
                    stream->onTimeout();
            }
            event = {}; // the last owner of the stream may be this thread: it goes outside the lock
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    std::deque<Event> spilled_;
    bool stop_ = false;
    std::thread thread_;
};

bool MediaStream::SendDigits(const std::string& keys)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || params_.sendEventPayloadType < 0)
        return false;
    for (char key : keys)
        if (KeyEvent(key) >= 0)
            digits_.push_back(key);
    return true;
}

void MediaStream::OnEventPacket(_RtpSession*, void* packet, void* self, void*)
{
    // Runs inside Tick's draining, under its lock.
    auto* m = static_cast<mblk_t*>(packet);
    uint8_t* payload = nullptr;
    int size = rtp_get_payload(m, &payload);
    if (!payload || size < 4)
        return;
    auto* stream = static_cast<MediaStream*>(self);
    unsigned duration = static_cast<unsigned>(payload[2]) << 8 | payload[3];
    const uint32_t timestamp = rtp_get_timestamp(m);
    stream->TakeEvent(timestamp, payload[0], duration, (payload[1] & 0x80) != 0, rtp_get_markbit(m) != 0,
                      stream->tickTime_);
    if (stream->current_.ts == timestamp && stream->current_.code == payload[0])
        stream->currentSsrc_ = rtp_get_ssrc(m); // oRTP turned the header to host order
}

void MediaStream::TakeEvent(uint32_t timestamp, int event, unsigned duration, bool end, bool marker,
                            std::chrono::steady_clock::time_point now)
{
    // The end packet is not awaited: a phone without key-release codes ends an event only when
    // the next one starts, or never.
    if (heard_ && timestamp == current_.ts && event == current_.code) {
        // The same event, unless this starts afresh: a sender replaying one recorded key twice
        // gives both presses the same timestamp, and a new start comes after the end or with a
        // duration back at its beginning.
        if (!(marker && (currentEnded_ || duration < currentDuration_))) {
            currentLast_ = now;
            currentEnded_ = currentEnded_ || end;
            currentDuration_ = std::max(currentDuration_, duration);
            return;
        }
    } else {
        for (const HeardEvent& e : earlier_)
            if (!marker && e.code == event && e.ts == timestamp)
                return; // a late packet of an earlier event
        if (heard_) {
            earlier_[earlierNext_] = current_;
            earlierNext_ = (earlierNext_ + 1) % (sizeof earlier_ / sizeof earlier_[0]);
        }
    }
    heard_ = true;
    current_ = {timestamp, event};
    currentEnded_ = end;
    currentDuration_ = duration;
    currentLast_ = now;
    char key = EventKey(event);
    if (key && events_)
        events_->File(self_, key);
}

void MediaStream::SendEventPacket()
{
    // Start packet with the marker, then growing durations, then the end packet three times. Each
    // repeat is a packet of its own: oRTP turns a header to network order in place as it sends, so
    // repeats sharing one would leave with a byte-swapped source.
    bool end = eventTick_ >= kEventTicks - 1;
    uint16_t duration = static_cast<uint16_t>((eventTick_ + 1) * kFrameSamples);
    for (int copies = end ? 3 : 1; copies > 0; --copies) {
        mblk_t* m = rtp_session_create_telephone_event_packet(session_, eventTick_ == 0);
        if (!m)
            return;
        rtp_session_add_telephone_event(session_, m, static_cast<uint8_t>(KeyEvent(eventKey_)), end, 10, duration);
        rtp_session_sendm_with_ts(session_, m, eventTs_);
    }
}

void MediaStream::Tick(std::chrono::steady_clock::time_point now, std::chrono::milliseconds timeout, bool readable)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_)
        return;
    if (eventTick_ < 0 && !digits_.empty()) {
        eventKey_ = digits_.front();
        digits_.pop_front();
        eventTick_ = 0;
        eventTs_ = ts_;
    }
    if (eventTick_ >= 0 && eventTick_ < kEventTicks) {
        SendEventPacket();
        ++eventTick_;
    } else {
        if (eventTick_ >= 0 && ++eventTick_ >= kEventTicks + kEventGap)
            eventTick_ = -1;
        int16_t frame[kFrameSamples] = {};
        if (source_)
            source_->ReadFrame(frame);
        uint8_t payload[kFrameSamples];
        if (params_.payloadType == 8)
            for (size_t i = 0; i < kFrameSamples; ++i)
                payload[i] = linear_to_alaw(frame[i]);
        else
            for (size_t i = 0; i < kFrameSamples; ++i)
                payload[i] = linear_to_ulaw(frame[i]);
        if (firstPacket_) {
            // The start of the stream is the start of a talkspurt: the marker tells the peer's
            // jitter buffer to take its timing afresh.
            mblk_t* m = rtp_session_create_packet(session_, RTP_FIXED_HEADER_SIZE, payload,
                                                  static_cast<int>(kFrameSamples));
            rtp_set_markbit(m, 1);
            rtp_session_sendm_with_ts(session_, m, ts_);
            firstPacket_ = false;
        } else {
            rtp_session_send_with_ts(session_, payload, static_cast<int>(kFrameSamples), ts_);
        }
    }
    ts_ += kFrameSamples;
    ++sent_;

    // An event whose packets stopped coming is over.
    if (heard_ && !currentEnded_ && now - currentLast_ > kEventSilence)
        currentEnded_ = true;
    // Draining runs oRTP's telephone-event detection, which calls OnEventPacket.
    tickTime_ = now;
    if (readable || !drained_) {
        for (int i = 0; i < kMaxReadsPerTick; ++i) {
            mblk_t* m = rtp_session_recvm_with_ts(session_, recvTs_);
            if (!m)
                break;
            freemsg(m);
        }
        // oRTP hands out queued key events one a read: read again next tick while it holds any.
        drained_ = session_->rtp.rq.q_mcount == 0 && session_->rtp.tev_rq.q_mcount == 0;
    }
    recvTs_ += kFrameSamples;
    uint64_t received = rtp_session_get_stats(session_)->packet_recv;
    if (received != lastReceived_) {
        received_ += received - lastReceived_;
        lastReceived_ = received;
        lastActivity_ = now;
    } else if (!timedOut_ && now - lastActivity_ > timeout) {
        timedOut_ = true;
        if (events_)
            events_->File(self_, 0);
    }
}

MediaEngine::MediaEngine(unsigned threads) : events_(std::make_unique<MediaStream::Events>())
{
    InitOrtp();
    if (threads == 0)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    for (unsigned i = 0; i < threads; ++i)
        pacers_.push_back(std::make_unique<Pacer>());
    // Deadlines spread over the frame, so the threads' work does not all fall due at once.
    for (unsigned i = 0; i < threads; ++i) {
        std::chrono::nanoseconds offset = std::chrono::milliseconds(kFrameMs) * i / threads;
        Pacer& pacer = *pacers_[i];
        pacer.thread = std::thread([this, &pacer, offset] { Run(pacer, offset); });
    }
}

MediaEngine::~MediaEngine()
{
    Stop();
}

void MediaEngine::Stop()
{
    stop_ = true;
    for (auto& pacer : pacers_)
        if (pacer->thread.joinable())
            pacer->thread.join();
    // Then the events the pacers filed: none is delivered after Stop. Ended outside the lock, which
    // a callback being delivered may want.
    std::unique_ptr<MediaStream::Events> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events = std::move(events_);
    }
    events.reset();
}

void MediaEngine::SetPortRange(int firstPort, int lastPort)
{
    std::lock_guard<std::mutex> lock(mutex_);
    firstPort_ = firstPort & ~1;
    lastPort_ = lastPort;
    nextPort_ = firstPort_;
}

void MediaEngine::SetInactivityTimeout(std::chrono::milliseconds timeout)
{
    timeoutMs_ = timeout.count();
}

std::shared_ptr<MediaStream> MediaEngine::CreateStream(const std::string& localAddress)
{
    std::shared_ptr<MediaStream> stream(new MediaStream());
    stream->self_ = stream;
    stream->profile_ = rtp_profile_new("voip");
    RtpSession* session = rtp_session_new(RTP_SESSION_SENDRECV);
    stream->session_ = session;
    rtp_session_set_scheduling_mode(session, FALSE);
    rtp_session_set_blocking_mode(session, FALSE);
    rtp_session_enable_jitter_buffer(session, FALSE);
    // RTCP stays on: a peer's reports to a closed port draw ICMP errors, on which some phones hang up.
    // oRTP would share a busy port with another socket and steal its packets.
    rtp_session_set_reuseaddr(session, FALSE);
    rtp_session_set_ssrc(session, RandomWord());
    rtp_session_set_seq_number(session, static_cast<uint16_t>(RandomWord()));
    stream->ts_ = RandomWord();
    rtp_session_signal_connect(session, "telephone-event_packet",
                               reinterpret_cast<RtpCallback>(&MediaStream::OnEventPacket), stream.get());

    std::unique_lock<std::mutex> lock(mutex_);
    stream->events_ = events_.get();
    int span = std::max(2, lastPort_ - firstPort_);
    for (int tried = 0; tried < span; tried += 2) {
        int port = nextPort_;
        nextPort_ += 2;
        if (nextPort_ + 1 >= lastPort_)
            nextPort_ = firstPort_;
        if (rtp_session_set_local_addr(session, localAddress.c_str(), port, port + 1) == 0) {
            stream->localPort_ = port;
            stream->rtpFd_ = rtp_session_get_rtp_socket(session);
            stream->rtcpFd_ = rtp_session_get_rtcp_socket(session);
            lock.unlock();
            // To the thread with the fewest streams.
            Pacer* least = nullptr;
            size_t fewest = 0;
            for (auto& pacer : pacers_) {
                std::lock_guard<std::mutex> pacerLock(pacer->mutex);
                size_t n = 0;
                for (const auto& w : pacer->streams)
                    n += !w.expired();
                if (!least || n < fewest) {
                    least = pacer.get();
                    fewest = n;
                }
            }
            std::lock_guard<std::mutex> pacerLock(least->mutex);
            least->streams.push_back(stream);
            return stream;
        }
    }
    lock.unlock();
    Log(Warning, "voip: no free RTP port on ", localAddress);
    return nullptr;
}

size_t MediaEngine::StreamCount() const
{
    size_t n = 0;
    for (const auto& pacer : pacers_) {
        std::lock_guard<std::mutex> lock(pacer->mutex);
        for (const auto& s : pacer->streams)
            n += !s.expired();
    }
    return n;
}

std::vector<int> MediaEngine::TakeLateness()
{
    std::vector<int> taken;
    for (auto& pacer : pacers_) {
        std::lock_guard<std::mutex> lock(pacer->mutex);
        taken.insert(taken.end(), pacer->lateness.begin(), pacer->lateness.end());
        pacer->lateness.clear();
    }
    return taken;
}

void MediaEngine::Run(Pacer& pacer, std::chrono::nanoseconds offset)
{
    // A late wake-up is heard; a busy machine should run this first. Raising the priority needs the
    // right to (root, CAP_SYS_NICE, an rlimit); without it the thread runs as any other.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kPacingNice);
    pthread_setname_np(pthread_self(), "voip-media");
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += static_cast<long>(offset.count());
    std::vector<std::shared_ptr<MediaStream>> active;
    std::vector<pollfd> sockets;
    while (!stop_) {
        deadline.tv_nsec += kFrameMs * 1000000L;
        while (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
        timespec woke;
        clock_gettime(CLOCK_MONOTONIC, &woke);
        long lateUs = (woke.tv_sec - deadline.tv_sec) * 1000000L + (woke.tv_nsec - deadline.tv_nsec) / 1000;
        if (lateUs > 1000L * kFrameMs * 5) {
            // Far behind (suspended, overloaded): start afresh rather than burst.
            deadline = woke;
        }
        {
            std::lock_guard<std::mutex> lock(pacer.mutex);
            // Kept for TakeLateness; about 15 minutes at most when nobody takes them.
            if (pacer.lateness.size() >= 45000)
                pacer.lateness.clear();
            pacer.lateness.push_back(static_cast<int>(lateUs));
            active.clear();
            auto out = pacer.streams.begin();
            for (auto& weak : pacer.streams) {
                if (auto s = weak.lock()) {
                    active.push_back(std::move(s));
                    *out++ = weak;
                }
            }
            pacer.streams.erase(out, pacer.streams.end());
        }
        // One look at every socket instead of two reads a stream that mostly find nothing: most
        // streams only send (announcements), and the reads were most of the receiving cost.
        sockets.clear();
        for (const auto& s : active) {
            sockets.push_back({s->rtpFd_.load(), POLLIN, 0});
            sockets.push_back({s->rtcpFd_.load(), POLLIN, 0});
        }
        const bool polled = poll(sockets.data(), sockets.size(), 0) >= 0;
        auto now = std::chrono::steady_clock::now();
        std::chrono::milliseconds timeout(timeoutMs_.load());
        for (size_t i = 0; i < active.size(); ++i)
            active[i]->Tick(now, timeout, !polled || sockets[2 * i].revents || sockets[2 * i + 1].revents);
        // The last owner may be this thread: the session goes here, outside the lock.
        active.clear();
    }
}

} // namespace voip
