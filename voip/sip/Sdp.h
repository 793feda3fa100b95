// The little of SDP the media needs: our offer or answer, and the audio of a session description.
#pragma once

#include "voip/media/MediaParams.h"

#include <map>
#include <string>
#include <vector>

namespace voip {

struct SdpAudio
{
    std::string address;            // c= of the media, else of the session
    int port = 0;                   // 0: stream refused
    std::vector<int> payloadTypes;  // m= order
    std::map<int, std::string> encodings; // a=rtpmap, lower case ("pcmu", "telephone-event")
    bool valid = false;
    bool onHold = false; // the peer only sends, or sends nothing

    int PayloadOf(const std::string& encoding) const;
};

// PCMU, PCMA and telephone-event 101 on address:port.
std::string MakeSdp(const std::string& address, int port);
SdpAudio ParseSdpAudio(const std::string& sdp);
// Whether the peer's description puts the call on hold.
bool SdpOnHold(const std::string& sdp);
// Whether an offer has an audio stream we can take: PCMU or PCMA on a port.
bool OffersCommonCodec(const std::string& remoteSdp);
// What to send and receive, from our side's final description and the peer's; false when they
// share no G.711 codec.
bool NegotiateMedia(const std::string& localSdp, const std::string& remoteSdp, MediaParams& params);

} // namespace voip
