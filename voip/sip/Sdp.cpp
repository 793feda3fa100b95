#include "voip/sip/Sdp.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>

#include <sofia-sip/sdp.h>
#include <sofia-sip/su_alloc.h>

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
    // Sofia-SIP's own parser, the one soa reads the same descriptions with. Sanity checks off:
    // a peer's description lacking o= or t= still names its audio.
    SdpAudio audio;
    su_home_t home[1] = {SU_HOME_INIT(home)};
    sdp_parser_t* parser = sdp_parse(home, sdp.data(), static_cast<issize_t>(sdp.size()),
                                     sdp_f_insane | sdp_f_c_missing | sdp_f_anynet);
    const sdp_session_t* session = parser ? sdp_session(parser) : nullptr;
    const sdp_media_t* media = nullptr;
    for (const sdp_media_t* m = session ? session->sdp_media : nullptr; m && !media; m = m->m_next)
        if (m->m_type == sdp_media_audio)
            media = m;
    if (media) {
        audio.port = static_cast<int>(media->m_port);
        for (const sdp_rtpmap_t* map = media->m_rtpmaps; map; map = map->rm_next) {
            audio.payloadTypes.push_back(static_cast<int>(map->rm_pt));
            std::string encoding = map->rm_encoding ? map->rm_encoding : "";
            std::transform(encoding.begin(), encoding.end(), encoding.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (!encoding.empty())
                audio.encodings[static_cast<int>(map->rm_pt)] = encoding;
        }
        const sdp_connection_t* c = media->m_connections ? media->m_connections : session->sdp_connection;
        if (c && c->c_address)
            audio.address = c->c_address;
        audio.valid = !audio.address.empty() && media->m_proto == sdp_proto_rtp;
        // The direction the peer sends in: only sending (or nothing) is a hold, as is the old 0.0.0.0.
        audio.onHold = media->m_mode == sdp_sendonly || media->m_mode == sdp_inactive || audio.address == "0.0.0.0";
    }
    if (parser)
        sdp_parser_free(parser);
    su_home_deinit(home);
    // Static payload types need no rtpmap.
    if (!audio.encodings.count(0))
        audio.encodings[0] = "pcmu";
    if (!audio.encodings.count(8))
        audio.encodings[8] = "pcma";
    return audio;
}

bool SdpOnHold(const std::string& sdp)
{
    SdpAudio audio = ParseSdpAudio(sdp);
    return audio.valid && audio.onHold;
}

bool OffersCommonCodec(const std::string& remoteSdp)
{
    SdpAudio remote = ParseSdpAudio(remoteSdp);
    if (!remote.valid || remote.port == 0)
        return false;
    for (int pt : remote.payloadTypes)
        if (pt == 0 || pt == 8)
            return true;
    return false;
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
