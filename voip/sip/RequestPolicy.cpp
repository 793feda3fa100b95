#include "voip/sip/RequestPolicy.h"

#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_tag.h>

namespace voip {

namespace {

// Neither REFER nor SUBSCRIBE: the stack would accept either, in or outside a call, answer 202 or
// 200, and keep a subscription with timers of its own that outlives the handle its owner drops.
// Without them in Allow the stack answers 405 and keeps nothing. NOTIFY stays: the answers to the
// REFERs we send come that way.
constexpr const char* kBaseAllow = "INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, MESSAGE, NOTIFY, UPDATE";

} // namespace

RequestPolicy::RequestPolicy(const std::string& extraMethods, const std::string& applicationMethods)
    : allow_(std::string(kBaseAllow) + (extraMethods.empty() ? "" : ", " + extraMethods)),
      application_(applicationMethods)
{
    // Allow replaces the stack's own list (which has REFER and SUBSCRIBE), not adds to it.
    tagi_t tags[] = {{SIPTAG_ALLOW_STR(allow_.c_str())}, {NUTAG_APPL_METHOD(application_.c_str())}, {TAG_NULL()}};
    for (size_t i = 0; i < 3; ++i)
        tags_[i] = tags[i];
}

bool RequestPolicy::DisposeStray(int event, nua_handle_t* nh, bool bound)
{
    switch (event) {
    case nua_i_options:
    case nua_i_message:
    case nua_i_register:
    case nua_i_publish:
    case nua_i_method:
    case nua_i_notify:
        // Answered by the stack, which keeps nothing for these outside a call.
        if (!bound && nh)
            nua_handle_destroy(nh);
        return true;
    case nua_i_subscribe:
    case nua_i_refer:
        // Refused through Allow, so these never come. Should one come anyway, its handle is left to
        // the stack: it may serve a subscription whose timers still hold it.
        return true;
    default:
        return false;
    }
}

} // namespace voip
