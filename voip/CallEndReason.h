// Why a call ended, and the string options that travel with a call.
#pragma once

#include <map>
#include <string>

namespace voip {

// Options of a call set-up, by name ("Calling-Party-Number" = "line1").
using StringOptions = std::map<std::string, std::string>;

enum class CallEndReason {
    None,          // not ended
    LocalUser,     // cleared here (ClearCall)
    RemoteUser,    // the peer hung up (BYE)
    RemoteCancel,  // the peer gave up before answer (CANCEL)
    NoAnswer,      // no final answer in time, or 408/480
    Busy,          // 486/600
    Refused,       // any other final failure answer of the peer
    Unreachable,   // no route, no endpoint, no transport
    MediaTimeout,  // no RTP from the peer for too long
    ShuttingDown,  // the manager is going away
};

const char* CallEndReasonName(CallEndReason reason);

} // namespace voip
