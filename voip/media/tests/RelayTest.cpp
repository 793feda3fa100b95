// The relay between its own ports and sockets it took over, and a running stream handing its peer over to it.
#include "voip/media/MediaEngine.h"
#include "voip/media/RtpRelay.h"

#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace voip {
namespace {

constexpr uint32_t kRawSsrc = 0x12345678; // what RawRtpPeer sends with

struct Packet
{
    int type = -1; // -1: nothing came
    bool marker = false;
    uint16_t seq = 0;
    uint8_t payload[4] = {};
};

Packet Next(RawRtpPeer& peer, int timeoutMs = 2000)
{
    const std::string b = peer.Receive(timeoutMs);
    Packet p;
    if (b.size() >= 16) {
        p = {static_cast<uint8_t>(b[1]) & 0x7f, (static_cast<uint8_t>(b[1]) & 0x80) != 0,
             static_cast<uint16_t>(static_cast<uint8_t>(b[2]) << 8 | static_cast<uint8_t>(b[3]))};
        std::copy(b.begin() + 12, b.begin() + 16, p.payload);
    }
    return p;
}

// One G.711 law to the other loses no more than the coarser law's step.
void ExpectSameSamples(const uint8_t* in, int16_t (*decodeIn)(uint8_t), const uint8_t* out,
                       int16_t (*decodeOut)(uint8_t))
{
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(decodeOut(out[i]), decodeIn(in[i]), std::max(16, std::abs(decodeIn(in[i])) / 16)) << i;
}

TEST(RtpRelayTest, AdoptedPortsTranscodeRenumberEventsAndHoldBackAKeyBegunBefore)
{
    RtpRelay relay("127.0.0.1", 0, 0); // no range: adopted ports only
    ASSERT_TRUE(relay.Start());
    RawRtpPeer subscriber, destination;
    auto fromSubscriber = relay.Adopt(testsupport::BoundUdpSocket(), testsupport::BoundUdpSocket());
    auto toDestination = relay.Adopt(testsupport::BoundUdpSocket(), -1);
    ASSERT_TRUE(fromSubscriber && toDestination);
    EXPECT_EQ(relay.Adopt(-1, -1), nullptr);
    EXPECT_EQ(relay.PortCount(), 2u);
    ASSERT_TRUE(relay.SetPeer(fromSubscriber, "127.0.0.1", subscriber.port));
    ASSERT_TRUE(relay.SetPeer(toDestination, "127.0.0.1", destination.port));
    relay.SetCodec(fromSubscriber, {0, 101, 101});
    relay.SetCodec(toDestination, {8, 96, 96});
    const int a = fromSubscriber->Port(), b = toDestination->Port();

    // The subscriber's key was held when the relay took over; its rest stays back across the link.
    relay.HoldBack(fromSubscriber, kRawSsrc, 500);
    relay.Link(fromSubscriber, toDestination);
    subscriber.SendEvent(a, 500, 4, false, false, 480);
    subscriber.SendEvent(a, 500, 4, true, false, 800);

    const uint8_t ulaw[4] = {0x00, 0x7f, 0xce, 0xff};
    subscriber.Send(a, 660, 0, false, ulaw);
    Packet p = Next(destination);
    ASSERT_EQ(p.type, 8) << "PCMU in, PCMA out, and nothing of the held-back key first";
    ExpectSameSamples(ulaw, UlawToLinear, p.payload, AlawToLinear);
    const uint8_t alaw[4] = {0x2a, 0xd5, 0xfa, 0x55};
    destination.Send(b, 9000, 8, true, alaw);
    Packet back = Next(subscriber);
    ASSERT_EQ(back.type, 0);
    EXPECT_TRUE(back.marker);
    ExpectSameSamples(alaw, AlawToLinear, back.payload, UlawToLinear);

    // Events leave numbered as the receiving peer takes them, each way.
    subscriber.SendEvent(a, 820, 7, false, true, 160);
    Packet event = Next(destination);
    EXPECT_EQ(event.type, 96);
    EXPECT_TRUE(event.marker);
    EXPECT_EQ(event.payload[0], 7);
    EXPECT_EQ(event.seq, static_cast<uint16_t>(p.seq + 1));
    const uint8_t nine[4] = {9, 10, 0, 160};
    destination.Send(b, 9160, 96, true, nine);
    EXPECT_EQ(Next(subscriber).type, 101);

    // A destination that takes no events gets none, and no gap in the numbers either.
    relay.SetCodec(toDestination, {8, -1, 96});
    subscriber.SendEvent(a, 980, 8, false, true, 160);
    subscriber.Send(a, 1140, 0, false, ulaw);
    p = Next(destination);
    EXPECT_EQ(p.type, 8);
    EXPECT_EQ(p.seq, static_cast<uint16_t>(event.seq + 1));

    // Held back once linked: that key's rest is not relayed, the next key is.
    relay.SetCodec(toDestination, {8, 96, 96});
    relay.HoldBack(fromSubscriber, kRawSsrc, 3000);
    subscriber.SendEvent(a, 3000, 1, false, false, 320);
    subscriber.SendEvent(a, 3000, 1, true, false, 800);
    subscriber.SendEvent(a, 3200, 2, false, true, 160);
    event = Next(destination);
    EXPECT_EQ(event.type, 96);
    EXPECT_EQ(event.payload[0], 2);
    EXPECT_EQ(Next(destination, 200).type, -1);
    EXPECT_EQ(Next(subscriber, 200).type, -1);
}

TEST(RtpRelayTest, AJoinedPartyHearsNothingOfAKeyPressedBeforeTheJoin)
{
    const int first = testsupport::FreeUdpPort(6, true);
    RtpRelay relay("127.0.0.1", first, first + 6);
    ASSERT_TRUE(relay.Start());
    RawRtpPeer subscriber, line, destination;
    auto fromSubscriber = relay.Open(), toLine = relay.Open(), toDestination = relay.Open();
    ASSERT_TRUE(fromSubscriber && toLine && toDestination);
    ASSERT_TRUE(relay.SetPeer(fromSubscriber, "127.0.0.1", subscriber.port));
    ASSERT_TRUE(relay.SetPeer(toLine, "127.0.0.1", line.port));
    ASSERT_TRUE(relay.SetPeer(toDestination, "127.0.0.1", destination.port));
    relay.Link(fromSubscriber, toLine);

    // A key starts towards the line; the join comes while it is held.
    subscriber.Send(fromSubscriber->Port(), 1000, 101, true);
    EXPECT_EQ(line.ReceiveTimestamp(5000), 1000);
    relay.Link(fromSubscriber, toDestination);
    // Its rest (the same timestamp) reaches nobody; audio and the next key reach the destination.
    for (int i = 0; i < 4; ++i)
        subscriber.Send(fromSubscriber->Port(), 1000, 101, false);
    subscriber.Send(fromSubscriber->Port(), 1800, 0, false);
    subscriber.Send(fromSubscriber->Port(), 2000, 101, true);
    subscriber.Send(fromSubscriber->Port(), 2000, 101, false);
    EXPECT_EQ(destination.ReceiveTimestamp(5000), 1800);
    EXPECT_EQ(destination.ReceiveTimestamp(5000), 2000);
    EXPECT_EQ(destination.ReceiveTimestamp(5000), 2000);
    EXPECT_EQ(line.ReceiveTimestamp(200), -1);
    EXPECT_EQ(destination.ReceiveTimestamp(200), -1);
}

TEST(MediaStreamTest, ARunningStreamHandsItsPeerToTheRelayAndItsPortStaysTaken)
{
    MediaEngine engine(1);
    const int first = testsupport::FreeUdpPort(2, true);
    engine.SetPortRange(first, first + 2); // one port: whether it is handed out again shows at once
    auto stream = engine.CreateStream("127.0.0.1");
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->LocalPort(), first);
    MediaHandover handover;
    EXPECT_FALSE(stream->Handover(handover)) << "never ran";
    RawRtpPeer phone, far;
    MediaParams params;
    params.remoteAddress = "127.0.0.1";
    params.remotePort = phone.port;
    params.payloadType = 8;
    params.sendEventPayloadType = 101;
    params.recvEventPayloadType = 101;
    stream->Start(params, nullptr);
    ASSERT_GE(phone.Receive(2000).size(), 12u);

    // A key is down at the handover (heard: it is all the phone sent).
    phone.SendEvent(first, 7000, 3, false, true, 160);
    ASSERT_TRUE(testsupport::WaitFor([&] { return stream->PacketsReceived() > 0; }, std::chrono::seconds(5)));
    ASSERT_TRUE(stream->Handover(handover));
    EXPECT_FALSE(stream->Running());
    EXPECT_FALSE(stream->Handover(handover)) << "it has no sockets left";
    EXPECT_EQ(handover.params.remotePort, phone.port);
    EXPECT_EQ(handover.params.payloadType, 8);
    EXPECT_TRUE(handover.keyInProgress);
    EXPECT_EQ(handover.keySsrc, kRawSsrc);
    EXPECT_EQ(handover.keyTimestamp, 7000u);
    // The stream's end closes nothing of what it gave away.
    stream.reset();
    ASSERT_TRUE(testsupport::WaitFor([&] { return engine.StreamCount() == 0; }, std::chrono::seconds(5)));

    RtpRelay relay("127.0.0.1", 0, 0);
    ASSERT_TRUE(relay.Start());
    auto carried = relay.Adopt(handover.rtpFd, handover.rtcpFd);
    auto toFar = relay.Adopt(testsupport::BoundUdpSocket(), -1);
    ASSERT_TRUE(carried && toFar);
    EXPECT_EQ(carried->Port(), first);
    ASSERT_TRUE(relay.SetPeer(carried, handover.params.remoteAddress, handover.params.remotePort));
    ASSERT_TRUE(relay.SetPeer(toFar, "127.0.0.1", far.port));
    relay.SetCodec(carried, {handover.params.payloadType, 101, 101});
    relay.SetCodec(toFar, {0, 101, 101});
    relay.HoldBack(carried, handover.keySsrc, handover.keyTimestamp);
    relay.Link(carried, toFar);
    while (!phone.Receive(0).empty()) {
        // what the stream sent before it stopped
    }
    phone.SendEvent(first, 7000, 3, true, false, 800);
    const uint8_t alaw[4] = {0xd5, 0xd5, 0xfa, 0xfa};
    phone.Send(first, 7800, 8, false, alaw);
    Packet p = Next(far);
    EXPECT_EQ(p.type, 0) << "the phone's audio reaches the far party through its old port, its key's end does not";
    far.Send(toFar->Port(), 100, 0, false);
    p = Next(phone);
    EXPECT_EQ(p.type, 8);

    EXPECT_EQ(engine.CreateStream("127.0.0.1"), nullptr) << "the relay's port handed out again";
    relay.Close(carried);
    auto again = engine.CreateStream("127.0.0.1");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->LocalPort(), first);
}

} // namespace
} // namespace voip
