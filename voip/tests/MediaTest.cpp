// G.711 and the SDP the media is set up from.
#include "voip/MediaEngine.h"
#include "voip/Sdp.h"

#include <gtest/gtest.h>

#include <cstdlib>

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

} // namespace
} // namespace voip
