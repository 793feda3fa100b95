// G.711 and the SDP the media is set up from.
#include "voip/local/LocalEndpoint.h"
#include "voip/media/MediaEngine.h"
#include "voip/sip/Sdp.h"

#include "tests/support/SipPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace voip {
namespace {

TEST(G711Test, KnownCodesAndRoundTripWithinTheQuantisationStep)
{
    EXPECT_EQ(LinearToUlaw(0), 0xFF);
    EXPECT_EQ(LinearToAlaw(0), 0xD5);
    EXPECT_EQ(LinearToUlaw(32767), 0x80);
    EXPECT_EQ(LinearToUlaw(-32768), 0x00);
    // Values of the G.711 reference tables.
    EXPECT_EQ(LinearToUlaw(1000), 0xCE);
    EXPECT_EQ(LinearToAlaw(1000), 0xFA);
    EXPECT_EQ(UlawToLinear(0xCE), 988);
    EXPECT_EQ(AlawToLinear(0xFA), 1008);
    for (int sample = -32768; sample <= 32767; sample += 7) {
        auto s = static_cast<int16_t>(sample);
        // The step grows with the segment: about 1/16 of the magnitude, at least 8 (u-law) or 16 (A-law).
        int tolerance = std::max(16, std::abs(sample) / 16);
        EXPECT_NEAR(UlawToLinear(LinearToUlaw(s)), sample, tolerance) << sample;
        EXPECT_NEAR(AlawToLinear(LinearToAlaw(s)), sample, tolerance) << sample;
        if (HasFailure())
            return;
    }
}

TEST(G711Test, KeysAndEventCodes)
{
    EXPECT_EQ(KeyEvent('5'), 5);
    EXPECT_EQ(KeyEvent('*'), 10);
    EXPECT_EQ(KeyEvent('#'), 11);
    EXPECT_EQ(KeyEvent('d'), 15);
    EXPECT_EQ(KeyEvent('x'), -1);
    EXPECT_EQ(KeyEvent('\0'), -1);
    EXPECT_EQ(EventKey(11), '#');
    EXPECT_EQ(EventKey(16), 0);
}

TEST(ToneTest, FramesFollowOneContinuousSine)
{
    ToneSource tone(440, 8000);
    int16_t frame[kFrameSamples];
    for (int f = 0; f < 500; ++f) {
        tone.ReadFrame(frame);
        for (size_t i = 0; i < kFrameSamples; ++i) {
            double n = static_cast<double>(f * kFrameSamples + i);
            ASSERT_NEAR(frame[i], 8000 * std::sin(2 * M_PI * 440 * n / kSampleRate), 2.0) << f << " " << i;
        }
    }
}

TEST(SdpTest, OurOfferParsesBack)
{
    SdpAudio audio = ParseSdpAudio(MakeSdp("127.0.0.1", 40000));
    ASSERT_TRUE(audio.valid);
    EXPECT_EQ(audio.address, "127.0.0.1");
    EXPECT_EQ(audio.port, 40000);
    EXPECT_EQ(audio.payloadTypes, (std::vector<int>{0, 8, 101}));
    EXPECT_EQ(audio.PayloadOf("telephone-event"), 101);
}

TEST(SdpTest, NegotiationFollowsThePeersNumbersAndAddress)
{
    const std::string local = "v=0\r\nc=IN IP4 10.0.0.1\r\nm=audio 4000 RTP/AVP 8 96\r\n"
                              "a=rtpmap:96 telephone-event/8000\r\n";
    const std::string remote = "v=0\r\nc=IN IP4 10.0.0.9\r\nt=0 0\r\nm=audio 5004 RTP/AVP 0 8 96\r\n"
                               "c=IN IP4 10.0.0.2\r\na=rtpmap:96 TELEPHONE-EVENT/8000\r\n";
    MediaParams params;
    ASSERT_TRUE(NegotiateMedia(local, remote, params));
    EXPECT_EQ(params.remoteAddress, "10.0.0.2"); // the media's c= wins over the session's
    EXPECT_EQ(params.remotePort, 5004);
    EXPECT_EQ(params.payloadType, 8);           // our final list's first common codec
    EXPECT_EQ(params.sendEventPayloadType, 96);
    EXPECT_EQ(params.recvEventPayloadType, 96);
}

TEST(SdpTest, NoCommonCodecOrRefusedStreamGivesNoMedia)
{
    MediaParams params;
    EXPECT_FALSE(NegotiateMedia("v=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 4000 RTP/AVP 0\r\n",
                                "v=0\r\nc=IN IP4 1.2.3.5\r\nm=audio 5000 RTP/AVP 18\r\n", params));
    EXPECT_FALSE(NegotiateMedia("v=0\r\nc=IN IP4 1.2.3.4\r\nm=audio 4000 RTP/AVP 0\r\n",
                                "v=0\r\nc=IN IP4 1.2.3.5\r\nm=audio 0 RTP/AVP 0\r\n", params));
    EXPECT_FALSE(NegotiateMedia("", "garbage", params));
}

TEST(MediaStreamTest, EachKeyPressIsTakenOnceWhateverItsEndPacketsDo)
{
    MediaEngine engine;
    engine.SetPortRange(43000, 44000);
    auto stream = engine.CreateStream("127.0.0.1");
    ASSERT_TRUE(stream);
    std::mutex mutex;
    std::condition_variable changed;
    std::string keys;
    stream->onDigit = [&](char key) {
        std::lock_guard<std::mutex> lock(mutex);
        keys += key;
        changed.notify_all();
    };
    auto keysReach = [&](size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return keys.size() >= count; });
        return keys;
    };
    voip::RawRtpPeer phone;
    MediaParams params;
    params.remoteAddress = "127.0.0.1";
    params.remotePort = phone.port;
    params.sendEventPayloadType = 101;
    params.recvEventPayloadType = 101;
    stream->Start(params, nullptr);

    // The stream's first packet opens a talkspurt.
    std::string first = phone.Receive(2000);
    ASSERT_GE(first.size(), 12u);
    EXPECT_EQ(static_cast<uint8_t>(first[1]), 0x80) << "marker bit and PCMU";
    std::string second = phone.Receive(2000);
    ASSERT_GE(second.size(), 12u);
    EXPECT_EQ(static_cast<uint8_t>(second[1]), 0x00);

    const int to = stream->LocalPort();
    // 1 never ends: the next key starts first.
    for (int i = 0; i < 3; ++i)
        phone.SendEvent(to, 1000, 1, false, i == 0, static_cast<uint16_t>(160 * (i + 1)));
    // 2 with its end packet three times, then 2 again, a press of its own.
    for (uint32_t ts : {2000u, 3000u}) {
        phone.SendEvent(to, ts, 2, false, true, 160);
        for (int i = 0; i < 3; ++i)
            phone.SendEvent(to, ts, 2, true, false, 800);
    }
    // # without an end packet, ever: taken all the same, without waiting for one.
    phone.SendEvent(to, 4000, 11, false, true, 160);
    phone.SendEvent(to, 4000, 11, false, false, 320);
    EXPECT_EQ(keysReach(4), "122#");
    // 5 whose start was lost: its end packets alone count once.
    for (int i = 0; i < 3; ++i)
        phone.SendEvent(to, 5000, 5, true, false, 800);
    // A late repeat of an earlier key adds nothing.
    phone.SendEvent(to, 4000, 11, false, false, 480);
    phone.SendEvent(to, 6000, 9, true, true, 800);
    EXPECT_EQ(keysReach(6), "122#59");
    // A sender replaying one recording per key reuses its timestamp: a new start after the end is a
    // new press, its repeats are not.
    phone.SendEvent(to, 6000, 9, false, true, 160);
    phone.SendEvent(to, 6000, 9, false, false, 320);
    // A start packet sent again is no press; a start with the duration back at its beginning,
    // before any end, is.
    phone.SendEvent(to, 6000, 9, false, true, 320);
    phone.SendEvent(to, 6000, 9, false, true, 0);
    phone.SendEvent(to, 7000, 0, true, true, 800);
    EXPECT_EQ(keysReach(9), "122#59990");
    stream->Stop();
}

TEST(MediaStreamTest, AKeyLeavesAsOneStreamWithThreeEndPackets)
{
    MediaEngine engine;
    engine.SetPortRange(44000, 45000);
    auto stream = engine.CreateStream("127.0.0.1");
    ASSERT_TRUE(stream);
    voip::RawRtpPeer phone;
    MediaParams params;
    params.remoteAddress = "127.0.0.1";
    params.remotePort = phone.port;
    params.sendEventPayloadType = 101;
    params.recvEventPayloadType = 101;
    stream->Start(params, nullptr);

    auto word = [](const std::string& p, size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i)
            v = v << 8 | static_cast<uint8_t>(p[at + i]);
        return v;
    };
    std::string first = phone.Receive(2000);
    ASSERT_GE(first.size(), 12u);
    const uint32_t ssrc = word(first, 8);
    ASSERT_TRUE(stream->SendDigits("3"));
    uint16_t seq = static_cast<uint16_t>(static_cast<uint8_t>(first[2]) << 8 | static_cast<uint8_t>(first[3]));
    int events = 0, ends = 0;
    uint32_t eventTs = 0;
    // Every packet, the repeated end packets too, carries the stream's source, its next number and,
    // within the key, one timestamp.
    for (int i = 0; i < 100 && ends < 3; ++i) {
        std::string p = phone.Receive(2000);
        ASSERT_GE(p.size(), 12u);
        EXPECT_EQ(word(p, 8), ssrc) << "packet " << i;
        uint16_t next = static_cast<uint16_t>(static_cast<uint8_t>(p[2]) << 8 | static_cast<uint8_t>(p[3]));
        EXPECT_EQ(next, static_cast<uint16_t>(seq + 1)) << "packet " << i;
        seq = next;
        if ((static_cast<uint8_t>(p[1]) & 0x7f) != 101)
            continue;
        ASSERT_GE(p.size(), 16u);
        EXPECT_EQ(p[12], 3);
        if (events++ == 0)
            eventTs = word(p, 4);
        EXPECT_EQ(word(p, 4), eventTs);
        ends += (static_cast<uint8_t>(p[13]) & 0x80) != 0;
    }
    EXPECT_EQ(ends, 3);
    EXPECT_EQ(events, 7) << "four packets of the press, three of its end";
    stream->Stop();
}

} // namespace
} // namespace voip
