#include "voip/Sdp.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>

namespace voip {

int SdpAudio::PayloadOf(const std::string& encoding) const
{
    for (int pt : payloadTypes) {
        auto it = encodings.find(pt);
        if (it != encodings.end() && it->second == encoding)
            return pt;
    }
    return -1;
}

std::string MakeSdp(const std::string& address, int port)
{
    // Each SIP stack thread has its own generator.
    thread_local std::mt19937 random{std::random_device{}()};
    std::ostringstream out;
    out << "v=0\r\n"
        << "o=voip " << (random() & 0x7fffffff) << " 1 IN IP4 " << address << "\r\n"
        << "s=-\r\n"
        << "c=IN IP4 " << address << "\r\n"
        << "t=0 0\r\n"
        << "m=audio " << port << " RTP/AVP 0 8 101\r\n"
        << "a=rtpmap:0 PCMU/8000\r\n"
        << "a=rtpmap:8 PCMA/8000\r\n"
        << "a=rtpmap:101 telephone-event/8000\r\n"
        << "a=fmtp:101 0-15\r\n"
        << "a=ptime:20\r\n";
    return out.str();
}

SdpAudio ParseSdpAudio(const std::string& sdp)
{
    SdpAudio audio;
    std::string sessionAddress;
    bool inAudio = false, seenAudio = false;
    std::istringstream in(sdp);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() < 2 || line[1] != '=')
            continue;
        std::istringstream fields(line.substr(2));
        if (line[0] == 'm') {
            std::string media, proto;
            int port = 0;
            fields >> media >> port >> proto;
            inAudio = media == "audio" && !seenAudio;
            if (inAudio) {
                seenAudio = true;
                audio.port = port;
                int pt;
                while (fields >> pt)
                    audio.payloadTypes.push_back(pt);
                audio.valid = !fields.bad();
            }
        } else if (line[0] == 'c') {
            std::string net, type, address;
            fields >> net >> type >> address;
            address = address.substr(0, address.find('/'));
            if (inAudio)
                audio.address = address;
            else if (!seenAudio)
                sessionAddress = address;
        } else if (line[0] == 'a' && inAudio && line.compare(2, 7, "rtpmap:") == 0) {
            std::istringstream map(line.substr(9));
            int pt = -1;
            std::string encoding;
            map >> pt >> encoding;
            encoding = encoding.substr(0, encoding.find('/'));
            std::transform(encoding.begin(), encoding.end(), encoding.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (pt >= 0)
                audio.encodings[pt] = encoding;
        }
    }
    if (audio.address.empty())
        audio.address = sessionAddress;
    // Static payload types need no rtpmap.
    if (!audio.encodings.count(0))
        audio.encodings[0] = "pcmu";
    if (!audio.encodings.count(8))
        audio.encodings[8] = "pcma";
    audio.valid = audio.valid && !audio.address.empty();
    return audio;
}

bool NegotiateMedia(const std::string& localSdp, const std::string& remoteSdp, MediaParams& params)
{
    SdpAudio local = ParseSdpAudio(localSdp);
    SdpAudio remote = ParseSdpAudio(remoteSdp);
    if (!local.valid || !remote.valid || remote.port == 0)
        return false;
    // The first G.711 codec of our final list that the peer also lists.
    int chosen = -1;
    for (int pt : local.payloadTypes)
        if ((pt == 0 || pt == 8) &&
            std::find(remote.payloadTypes.begin(), remote.payloadTypes.end(), pt) != remote.payloadTypes.end()) {
            chosen = pt;
            break;
        }
    if (chosen < 0)
        return false;
    params.remoteAddress = remote.address;
    params.remotePort = remote.port;
    params.payloadType = chosen;
    params.sendEventPayloadType = remote.PayloadOf("telephone-event");
    params.recvEventPayloadType = local.PayloadOf("telephone-event");
    if (params.recvEventPayloadType < 0)
        params.recvEventPayloadType = params.sendEventPayloadType;
    return true;
}

} // namespace voip
