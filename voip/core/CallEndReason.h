// Why a call ended.
#pragma once


namespace voip {

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
