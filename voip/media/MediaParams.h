// What offer/answer settled for one audio stream.
#pragma once

#include <string>

namespace voip {

struct MediaParams
{
    std::string remoteAddress;
    int remotePort = 0;
    int payloadType = 0;           // 0 PCMU or 8 PCMA
    int sendEventPayloadType = -1; // telephone-event as the peer numbers it; -1 none
    int recvEventPayloadType = -1; // telephone-event as we numbered it
};

} // namespace voip
