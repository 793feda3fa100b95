// The outcome codes the service writes, in words for the operator (translated).
#pragma once

#include <QString>

namespace console {

// INCOMINGLOG.RESULT: 0 not a subscriber, 1 queued for a callback, 2 queue full.
QString IncomingResultText(int result);
// OUTGOINGLOG.END_REASON (the service's codes, see README); `open` for an attempt under way.
QString CallbackOutcomeText(int reason, bool open);

} // namespace console
