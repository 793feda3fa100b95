#include "voip/core/CallEndReason.h"

namespace voip {

const char* CallEndReasonName(CallEndReason reason)
{
    switch (reason) {
    case CallEndReason::None: return "none";
    case CallEndReason::LocalUser: return "local user";
    case CallEndReason::RemoteUser: return "remote user";
    case CallEndReason::RemoteCancel: return "remote cancel";
    case CallEndReason::NoAnswer: return "no answer";
    case CallEndReason::Busy: return "busy";
    case CallEndReason::Refused: return "refused";
    case CallEndReason::Unreachable: return "unreachable";
    case CallEndReason::MediaTimeout: return "media timeout";
    case CallEndReason::ShuttingDown: return "shutting down";
    }
    return "?";
}

} // namespace voip
