// The little of SDP a relay needs: where the peer's audio goes, and a description passed on with
// the relay's own address in its place.
#pragma once

#include <string>

namespace exchange {

struct SdpMedia
{
    std::string address; // c= of the audio, else of the session
    int port = 0;
    bool sendonly = false;
    bool inactive = false;
    bool valid = false;  // an IPv4 audio stream with a port
};

SdpMedia ParseSdpMedia(const std::string& sdp);
// The same description with every c= and the o= address set to address and the audio port to
// port; a=rtcp lines go (the relay takes RTCP on the port after the audio port).
std::string RewriteSdp(const std::string& sdp, const std::string& address, int port);
// The description with its direction attribute replaced (or added to the audio).
std::string SetSdpDirection(const std::string& sdp, const std::string& direction);

} // namespace exchange
