// Which requests from the network the system's SIP user agents take: one policy for the service's
// endpoint and for the exchange, so that both refuse the same things the same way.
#pragma once

#include <sofia-sip/su_tag.h>

#include <string>

// As Sofia's headers declare it, so that users keep their own magic types.
typedef struct nua_handle_s nua_handle_t;

namespace voip {

class RequestPolicy
{
public:
    // extraMethods go into Allow beside the common ones ("INFO", "REGISTER, INFO"); the stack hands
    // over applicationMethods unanswered, for the owner to answer.
    RequestPolicy(const std::string& extraMethods, const std::string& applicationMethods);
    RequestPolicy(const RequestPolicy&) = delete;
    RequestPolicy& operator=(const RequestPolicy&) = delete;

    // For nua_create, as TAG_NEXT(policy.Tags()); valid while the policy lives.
    const tagi_t* Tags() const { return tags_; }
    const std::string& Allow() const { return allow_; }

    // For the owner's event callback, with event a nua_event_t: a request the stack answered by
    // itself, outside the owner's calls (bound false), whose handle then goes. True when it was one.
    static bool DisposeStray(int event, nua_handle_t* nh, bool bound);

private:
    std::string allow_;
    std::string application_;
    tagi_t tags_[3];
};

} // namespace voip
