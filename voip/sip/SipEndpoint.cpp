#include "voip/sip/SipStack.h"

#include "voip/core/Call.h"
#include "voip/core/Manager.h"
#include "voip/sip/Sdp.h"
#include "voip/sip/SofiaText.h"
#include "voip/core/Address.h"

#include "voip/core/Log.h"

#include <sofia-sip/msg_addr.h>
#include <sofia-sip/su_string.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdlib>

namespace voip {

namespace {

void OnNuaEvent(nua_event_t event, int status, const char* phrase, nua_t*, SipStack* stack, nua_handle_t* nh,
                SipHandle* handle, const sip_t* sip, tagi_t tags[])
{
    stack->Event(event, status, phrase, nh, handle, sip, tags);
}

// The first IPv4 address of a non-loopback interface, else the loopback.
std::string HostAddress()
{
    std::string found = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        auto* in = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) && std::string(text) != "127.0.0.1") {
            found = text;
            break;
        }
    }
    freeifaddrs(list);
    return found;
}

// A body cut short of its Content-Length: on UDP the rest never comes.
bool BodyShort(const sip_t* sip)
{
    if (!sip || !sip->sip_content_length)
        return false;
    size_t have = sip->sip_payload ? sip->sip_payload->pl_len : 0;
    return sip->sip_content_length->l_length > have;
}

// The address and port a request came from; left alone when the message holds none.
void SourceOf(msg_t* msg, std::string& host, int& port)
{
    su_addrinfo_t* ai = msg ? msg_addrinfo(msg) : nullptr;
    if (!ai || !ai->ai_addr)
        return;
    char text[INET6_ADDRSTRLEN] = "";
    if (ai->ai_addr->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            host = text;
            port = ntohs(in->sin_port);
        }
    } else if (ai->ai_addr->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) {
            host = text;
            port = ntohs(in6->sin6_port);
        }
    }
}

CallEndReason ReasonOfStatus(int status)
{
    switch (status) {
    case 486:
    case 600: return CallEndReason::Busy;
    case 408:
    case 480:
    case 487: return CallEndReason::NoAnswer;
    case 404:
    case 484:
    case 503:
    case 604: return CallEndReason::Unreachable;
    default: return CallEndReason::Refused;
    }
}

} // namespace

// ---- the stack's thread ----

bool SipStack::Start(const std::string& url, const std::string& address, int listenPort)
{
    localAddress = address;
    port = listenPort;
    return loop.Start([this, &url](su_root_t* root) {
        return nua_create(root, OnNuaEvent, this, NUTAG_URL(url.c_str()),
                          NUTAG_OUTBOUND("no-validate, no-options-keepalive"), NUTAG_AUTOANSWER(0),
                          NUTAG_AUTOALERT(0), NUTAG_AUTOACK(1), NUTAG_ENABLEINVITE(1), TAG_NEXT(policy.Tags()));
    });
}

std::shared_ptr<SipLeg> SipStack::LegOf(SipHandle* handle)
{
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : std::dynamic_pointer_cast<SipLeg>(it->second);
}

void SipStack::Forget(SipHandle* handle)
{
    // Destroyed after the callback that ended it has returned.
    auto it = handles.find(handle);
    if (it == handles.end())
        return;
    std::shared_ptr<SipHandle> held = it->second;
    handles.erase(it);
    nua_handle_t* nh = held->nh;
    held->nh = nullptr;
    loop.DestroyHandleLater(nh, std::move(held));
}

void SipStack::Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, SipHandle* handle,
                     const sip_t* sip, tagi_t tags[])
{
    switch (event) {
    case nua_i_invite:
        if (!handle)
            IncomingInvite(nh, sip);
        return;
    case nua_r_invite:
        if (auto leg = LegOf(handle)) {
            if ((status == 401 || status == 407) && Authenticate(*leg, sip))
                return;
            if (status >= 300) {
                leg->finalStatus = status;
                Tell(leg, LegEvent::Refused, status);
            }
            if ((status == 180 || status == 183) && !leg->ready) {
                Tell(leg, LegEvent::Ringing);
                std::shared_ptr<SipConnection> connection;
                {
                    std::lock_guard<std::mutex> lock(leg->mutex);
                    connection = leg->connection.lock();
                }
                // Alerting the caller is the other party's code: not on this thread.
                if (connection)
                    Report(leg, [connection] { connection->SetAlerting(); });
            }
        }
        return;
    case nua_i_state:
        if (auto leg = LegOf(handle))
            OnState(leg, tags);
        return;
    case nua_i_info:
        if (auto leg = LegOf(handle)) {
            if (BodyShort(sip)) {
                nua_respond(nh, SIP_400_BAD_REQUEST, NUTAG_WITH_THIS(loop.Nua()), TAG_END());
                return;
            }
            // Keys of a joined party are the other party's, as its RTP is.
            if (leg->join && !leg->join->over) {
                const auto& to = leg->join->first == leg ? leg->join->second : leg->join->first;
                if (to->nh && !to->ended && sip && sip->sip_payload && sip->sip_content_type)
                    nua_info(to->nh, SIPTAG_CONTENT_TYPE(sip->sip_content_type), SIPTAG_PAYLOAD(sip->sip_payload),
                             TAG_END());
                nua_respond(nh, SIP_200_OK, NUTAG_WITH_THIS(loop.Nua()), TAG_END());
                return;
            }
            OnInfo(leg, sip);
            nua_respond(nh, SIP_200_OK, NUTAG_WITH_THIS(loop.Nua()), TAG_END());
        } else {
            Refuse(nh, handle, SIP_481_NO_TRANSACTION);
        }
        return;
    case nua_r_refer:
        if (auto leg = LegOf(handle); leg && status >= 200)
            OnTransfer(leg, status, phrase ? phrase : "", false);
        return;
    case nua_i_notify:
        if (auto leg = LegOf(handle)) {
            // The REFER's subscription: "SIP/2.0 200 OK" of the call the peer placed.
            if (sip && sip->sip_payload && sip->sip_content_type && sip->sip_content_type->c_type &&
                su_casematch(sip->sip_content_type->c_type, "message/sipfrag")) {
                std::string frag(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
                frag = frag.substr(0, frag.find_first_of("\r\n"));
                if (frag.compare(0, 8, "SIP/2.0 ") == 0 && frag.size() >= 11) {
                    int code = std::atoi(frag.c_str() + 8);
                    OnTransfer(leg, code, frag.size() > 12 ? frag.substr(12) : std::string(), true);
                }
            }
        } else if (nh) {
            nua_handle_destroy(nh);
        }
        return;
    case nua_r_register:
    case nua_r_unregister:
        if (auto* line = dynamic_cast<SipLine*>(handle))
            OnRegister(*line, event, status, sip);
        return;
    case nua_r_shutdown:
        loop.OnShutdown(status);
        return;
    default:
        RequestPolicy::DisposeStray(event, nh, handle != nullptr);
        (void)phrase;
        return;
    }
}

void SipStack::Refuse(nua_handle_t* nh, SipHandle* handle, int status, const char* phrase)
{
    // The request being handled, not the call's INVITE, is the one answered.
    nua_respond(nh, status, phrase, NUTAG_WITH_THIS(loop.Nua()), TAG_END());
    // Only a handle the stack made for this request goes: for a refused INVITE or INFO the stack
    // keeps nothing behind. Never so for a handle that serves a subscription (a REFER's): its
    // NOTIFY transactions would run on, timers and all, over the freed handle.
    if (!handle && nh)
        nua_handle_destroy(nh);
}

bool SipStack::Authenticate(SipHandle& handle, const sip_t* sip)
{
    if (handle.password.empty() || handle.authTries >= 2 || !sip)
        return false;
    const msg_param_t* params = nullptr;
    const char* scheme = "Digest";
    if (sip->sip_www_authenticate) {
        params = sip->sip_www_authenticate->au_params;
        scheme = sip->sip_www_authenticate->au_scheme;
    } else if (sip->sip_proxy_authenticate) {
        params = sip->sip_proxy_authenticate->au_params;
        scheme = sip->sip_proxy_authenticate->au_scheme;
    }
    const char* realm = params ? msg_params_find(params, "realm=") : nullptr;
    if (!realm)
        return false;
    ++handle.authTries;
    std::string auth = std::string(scheme) + ":" + realm + ":" + handle.authUser + ":" + handle.password;
    nua_authenticate(handle.nh, NUTAG_AUTH(auth.c_str()), TAG_END());
    return true;
}

void SipStack::IncomingInvite(nua_handle_t* nh, const sip_t* sip)
{
    if (!sip || !sip->sip_from || !sip->sip_to || !sip->sip_request) {
        Refuse(nh, nullptr, SIP_400_BAD_REQUEST);
        return;
    }
    {
        InviteRequest invite;
        invite.requestUri = UrlText(sip->sip_request->rq_url);
        invite.requestUser = sip->sip_request->rq_url->url_user ? sip->sip_request->rq_url->url_user : "";
        invite.fromUser = sip->sip_from->a_url->url_user ? sip->sip_from->a_url->url_user : "";
        SourceOf(nua_current_request(loop.Nua()), invite.sourceHost, invite.sourcePort);
        const InviteRefusal refusal = endpoint.AdmitInvite(invite);
        if (refusal.status != 0) {
            const std::string warning = "399 " + localAddress + ":" + std::to_string(port) + " \"" +
                                        refusal.warning + "\"";
            const char* phrase = refusal.phrase.empty() ? sip_status_phrase(refusal.status) : refusal.phrase.c_str();
            nua_respond(nh, refusal.status, phrase ? phrase : "Refused", NUTAG_WITH_THIS(loop.Nua()),
                        TAG_IF(!refusal.warning.empty(), SIPTAG_WARNING_STR(warning.c_str())), TAG_END());
            nua_handle_destroy(nh);
            return;
        }
    }
    // Without a Contact there is nowhere to send the BYE or a re-INVITE: no call to set up.
    if (!sip->sip_contact || !sip->sip_contact->m_url->url_host) {
        Refuse(nh, nullptr, 400, "Missing Contact");
        return;
    }
    if (BodyShort(sip)) {
        Refuse(nh, nullptr, 400, "Body Shorter Than Content-Length");
        return;
    }
    if (sip->sip_payload && sip->sip_payload->pl_len > 0 &&
        !OffersCommonCodec(std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len))) {
        Refuse(nh, nullptr, SIP_488_NOT_ACCEPTABLE);
        return;
    }
    auto leg = std::make_shared<SipLeg>();
    leg->nh = nh;
    leg->incoming = true;
    nua_handle_bind(nh, leg.get());
    handles[leg.get()] = leg;
    legIds[leg->id] = leg;
    if (sip->sip_request->rq_url->url_user && FindLine(sip->sip_request->rq_url->url_user))
        leg->line = sip->sip_request->rq_url->url_user;
    leg->remoteUser = sip->sip_from->a_url->url_user ? sip->sip_from->a_url->url_user : "";
    Tell(leg, LegEvent::Offered);

    std::string remote = UrlText(sip->sip_from->a_url);
    std::string display = Unquote(sip->sip_from->a_display);
    std::string local = UrlText(sip->sip_to->a_url);
    std::string destination = UrlText(sip->sip_request->rq_url);
    SipEndpoint& ep = endpoint;
    manager.Post([this, &ep, leg, remote, display, local, destination] {
        bool attached = false;
        auto attach = [&](Connection& connection) {
            auto* legConnection = dynamic_cast<SipConnection*>(&connection);
            if (!legConnection)
                return false;
            std::lock_guard<std::mutex> lock(leg->mutex);
            if (leg->ended)
                return false;
            leg->connection = std::static_pointer_cast<SipConnection>(legConnection->shared_from_this());
            legConnection->leg_ = leg;
            legConnection->SetRemotePartyAddress(remote, display);
            legConnection->SetLocalPartyAddress(local);
            attached = true;
            return true;
        };
        if (!manager.OnIncomingCall(ep, remote, destination, attach) && !attached)
            Post([this, leg] { ClearLeg(leg, CallEndReason::Refused); });
    });
}

void SipStack::OnState(const std::shared_ptr<SipLeg>& leg, tagi_t tags[])
{
    int state = -1;
    const char* localSdp = nullptr;
    const char* remoteSdp = nullptr;
    tl_gets(tags, NUTAG_CALLSTATE_REF(state), SOATAG_LOCAL_SDP_STR_REF(localSdp),
            SOATAG_REMOTE_SDP_STR_REF(remoteSdp), TAG_END());
    if (localSdp)
        leg->localSdp = localSdp;
    if (remoteSdp)
        leg->remoteSdp = remoteSdp;
    if (state == nua_callstate_ready) {
        // Up, or a re-INVITE settled: (re)start the media when the descriptions changed since.
        std::string applied = leg->localSdp + '\0' + leg->remoteSdp;
        if (!leg->ready || applied != leg->appliedSdp) {
            const bool first = !leg->ready;
            leg->ready = true;
            leg->answered = true;
            leg->appliedSdp = applied;
            if (leg->join && !leg->join->over) {
                // The joined party moved its media: the relay follows.
                SdpAudio audio = ParseSdpAudio(leg->remoteSdp);
                const auto& relayPort = leg->join->first == leg ? leg->join->firstPort : leg->join->secondPort;
                if (audio.valid && audio.port > 0)
                    relay->SetPeer(relayPort, audio.address, audio.port);
                return;
            }
            StartMedia(leg);
            const bool held = SdpOnHold(leg->remoteSdp);
            if (first) {
                leg->held = held;
                Tell(leg, LegEvent::Answered);
            } else if (held != leg->held) {
                leg->held = held;
                Tell(leg, held ? LegEvent::Hold : LegEvent::Resumed);
            }
        }
    } else if (state == nua_callstate_terminated) {
        CallEndReason reason = leg->ready      ? CallEndReason::RemoteUser
                               : leg->incoming ? CallEndReason::RemoteCancel
                                               : ReasonOfStatus(leg->finalStatus);
        EndLeg(leg, reason);
        legIds.erase(leg->id);
        if (leg->join) {
            EndJoin(leg->join, leg.get(), JoinEnd::HungUp);
            leg->join.reset();
        }
        Forget(leg.get());
    }
}

void SipStack::StartMedia(const std::shared_ptr<SipLeg>& leg)
{
    MediaParams params;
    bool negotiated = NegotiateMedia(leg->localSdp, leg->remoteSdp, params);
    if (!negotiated)
        Log(Warning, "voip: no common audio with the peer");
    std::shared_ptr<SipConnection> connection;
    std::shared_ptr<MediaStream> media;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        connection = leg->connection.lock();
        media = leg->media;
    }
    if (!connection)
        return;
    // The audio source is the other party's code: asked on a worker, never here.
    Report(leg, [connection, media, params, negotiated] {
        if (media && negotiated && !connection->IsReleased()) {
            auto other = connection->GetOtherPartyConnection();
            media->Start(params, other ? other->GetAudioSource() : nullptr);
        }
        connection->SetConnected();
    });
}

void SipStack::EndLeg(const std::shared_ptr<SipLeg>& leg, CallEndReason reason)
{
    std::shared_ptr<SipConnection> connection;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        leg->ended = true;
        connection = leg->connection.lock();
        if (leg->media)
            leg->media->Stop();
    }
    if (connection) {
        // 487 answers the CANCEL of a call given up here: not the far side's refusal.
        if (!leg->ready && !leg->incoming && leg->finalStatus != 487)
            connection->SetEndStatus(leg->finalStatus);
        Report(leg, [connection, reason] { connection->Release(reason); });
    }
    if (!leg->released) {
        leg->released = true;
        Tell(leg, LegEvent::Released);
    }
}

void SipStack::Report(const std::shared_ptr<SipLeg>& leg, std::function<void()> task)
{
    std::shared_ptr<Strand> strand;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        if (!leg->reports)
            leg->reports = std::make_shared<Strand>(manager.Workers());
        strand = leg->reports;
    }
    strand->Post(std::move(task));
}

void SipStack::Tell(const std::shared_ptr<SipLeg>& leg, LegEvent event, int status, JoinEnd why)
{
    if (leg->line.empty())
        return;
    auto told = Observer();
    if (!told)
        return;
    LegReport report;
    report.event = event;
    report.leg = leg->id;
    report.line = leg->line;
    report.incoming = leg->incoming;
    report.remote = leg->remoteUser;
    report.status = status;
    report.ended = why;
    if (leg->join)
        report.partner = (leg->join->first == leg ? leg->join->second : leg->join->first)->id;
    SipEndpoint* ep = &endpoint;
    Report(leg, [told, ep, report] { told->OnLegReport(*ep, report); });
}

std::shared_ptr<LineLegObserver> SipStack::Observer() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return observer;
}

CallEndReason SipStack::ReasonOfStatus(int status)
{
    return voip::ReasonOfStatus(status);
}

void SipStack::ClearLeg(const std::shared_ptr<SipLeg>& leg, CallEndReason reason)
{
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        if (leg->media)
            leg->media->Stop();
    }
    if (leg->join && !leg->join->over) {
        // The dialog is the joined party's now: the application only lets go of it.
        {
            std::lock_guard<std::mutex> lock(leg->mutex);
            leg->connection.reset();
        }
        if (!leg->released) {
            leg->released = true;
            Tell(leg, LegEvent::Released);
        }
        return;
    }
    if (!leg->nh || leg->clearing)
        return;
    leg->clearing = true;
    if (leg->incoming && !leg->answered) {
        switch (reason) {
        case CallEndReason::Unreachable: nua_respond(leg->nh, SIP_404_NOT_FOUND, TAG_END()); break;
        case CallEndReason::Busy: nua_respond(leg->nh, SIP_486_BUSY_HERE, TAG_END()); break;
        case CallEndReason::ShuttingDown: nua_respond(leg->nh, SIP_503_SERVICE_UNAVAILABLE, TAG_END()); break;
        default: nua_respond(leg->nh, SIP_480_TEMPORARILY_UNAVAILABLE, TAG_END()); break;
        }
    } else if (!leg->incoming && !leg->ready) {
        nua_cancel(leg->nh, TAG_END());
    } else {
        nua_bye(leg->nh, TAG_END());
    }
}

void SipStack::OnInfo(const std::shared_ptr<SipLeg>& leg, const sip_t* sip)
{
    if (!sip || !sip->sip_content_type || !sip->sip_payload || !sip->sip_content_type->c_type)
        return;
    std::string type = sip->sip_content_type->c_type;
    std::string body(sip->sip_payload->pl_data, sip->sip_payload->pl_len);
    char key = 0;
    if (type == "application/dtmf-relay") {
        size_t at = body.find("Signal=");
        if (at != std::string::npos) {
            at = body.find_first_not_of(" \t", at + 7);
            if (at != std::string::npos)
                key = body[at];
        }
    } else if (type == "application/dtmf") {
        size_t at = body.find_first_not_of(" \t\r\n");
        if (at != std::string::npos)
            key = body[at];
    }
    if (KeyEvent(key) < 0)
        return;
    std::shared_ptr<SipConnection> connection;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        connection = leg->connection.lock();
    }
    if (connection)
        connection->DeliverUserInput(std::string(1, key >= 'a' && key <= 'd' ? key - 'a' + 'A' : key));
}

void SipStack::OnTransfer(const std::shared_ptr<SipLeg>& leg, int status, const std::string& phrase, bool progress)
{
    std::shared_ptr<SipConnection> connection;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        connection = leg->connection.lock();
    }
    // The connection's handlers are the application's code: not on this thread.
    if (connection)
        Report(leg, [connection, status, phrase, progress] {
            if (progress)
                connection->OnTransferProgress(status, phrase);
            else
                connection->OnTransferAnswered(status, phrase);
        });
}

void SipStack::OnRegister(SipLine& line, nua_event_t event, int status, const sip_t* sip)
{
    if (status < 200)
        return;
    if ((status == 401 || status == 407) && Authenticate(line, sip))
        return;
    if (event == nua_r_register && status < 300) {
        line.authTries = 0;
        line.registered = true;
        ++line.successes;
        Log(Debug, "voip: registered ", line.aor);
        SipEndpoint* ep = &endpoint;
        manager.Post([ep, name = line.line] { ep->OnLineRegistered(name); });
    } else {
        line.registered = false;
        if (status >= 300)
            Log(Warning, "voip: registration of ", line.aor, " failed: ", status);
    }
}

void SipStack::SendRegister(const std::shared_ptr<SipLine>& line)
{
    if (!line->nh) {
        line->nh = nua_handle(loop.Nua(), line.get(), SIPTAG_TO_STR(line->aor.c_str()),
                              SIPTAG_FROM_STR(line->aor.c_str()), TAG_END());
        handles[line.get()] = line;
    }
    line->authTries = 0;
    std::string registrar = "sip:" + line->registrar;
    std::string route = line->proxy.empty() || line->proxy == line->registrar ? std::string()
                                                                               : "<sip:" + line->proxy + ";lr>";
    std::string expires = std::to_string(line->expire);
    nua_register(line->nh, NUTAG_REGISTRAR(URL_STRING_MAKE(registrar.c_str())),
                 NUTAG_M_USERNAME(line->contactUser.c_str()), NUTAG_OUTBOUND("no-validate, no-options-keepalive"),
                 SIPTAG_EXPIRES_STR(expires.c_str()), TAG_IF(!route.empty(), NUTAG_INITIAL_ROUTE_STR(route.c_str())),
                 TAG_END());
}

std::shared_ptr<SipLine> SipStack::FindLine(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = lines.find(name);
    return it == lines.end() ? nullptr : it->second;
}

// ---- the endpoint ----

SipEndpoint::SipEndpoint(Manager& manager)
    : Endpoint(manager, "sip"), media_(std::make_unique<MediaEngine>()),
      stack_(std::make_unique<SipStack>(*this, manager))
{
    stack_->observer = SipEndpointDefaultObserver();
}

SipEndpoint::~SipEndpoint()
{
    ShutDown();
}

void SipEndpoint::ShutDown()
{
    stack_->Stop();
    // Its callbacks post to the manager's workers, which go before the endpoints.
    media_->Stop();
}

bool SipEndpoint::StartListeners(const std::vector<std::string>& interfaces)
{
    std::string wanted = interfaces.empty() ? std::string() : interfaces.front();
    if (interfaces.size() > 1)
        Log(Warning, "voip: SIP listens on ", wanted, " only");
    std::string host;
    int port = 0;
    if (!SplitHostPort(wanted, host, port, 5060) || port == 0)
        return false;
    bool any = host.empty() || host == "*" || host == "0.0.0.0";
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]"; // as a URL writes it
    std::string url = "sip:" + (any ? std::string("*") : host) + ":" + std::to_string(port) + ";transport=udp";
    if (stack_->loop.Running())
        return false;
    return stack_->Start(url, any ? HostAddress() : host, port);
}

bool SipEndpoint::IsListening() const
{
    return stack_->loop.Running();
}

std::string SipEndpoint::GetLocalAddress() const
{
    return stack_->localAddress;
}

int SipEndpoint::GetListenerPort() const
{
    return stack_->port;
}

bool SipEndpoint::Register(const SipRegistrationParams& params, std::string& aor)
{
    if (params.registrarAddress.empty() || params.addressOfRecord.empty())
        return false;
    auto line = std::make_shared<SipLine>();
    line->line = UserPartOf(params.addressOfRecord);
    line->registrar = params.registrarAddress;
    line->proxy = params.proxyAddress;
    line->expire = params.expire ? params.expire : 360;
    std::string registrarHost = line->registrar;
    line->aor = params.addressOfRecord.find('@') != std::string::npos
                    ? params.addressOfRecord
                    : "sip:" + line->line + "@" + registrarHost;
    if (line->aor.compare(0, 4, "sip:") != 0)
        line->aor = "sip:" + line->aor;
    line->authUser = params.authID.empty() ? line->line : params.authID;
    line->password = params.password;
    line->contactUser = params.contact.empty() ? line->line : UserPartOf(params.contact);
    {
        std::lock_guard<std::mutex> lock(stack_->mutex);
        if (!stack_->loop.Running())
            return false;
        stack_->lines[line->line] = line;
    }
    aor = line->aor;
    SipStack* stack = stack_.get();
    return stack_->Post([stack, line] { stack->SendRegister(line); });
}

bool SipEndpoint::RegisterAgain(const std::string& name)
{
    auto line = stack_->FindLine(name);
    if (!line)
        return false;
    SipStack* stack = stack_.get();
    return stack_->Post([stack, line] {
        // Gone meanwhile (unregistered): nothing to send.
        if (stack->FindLine(line->line) == line)
            stack->SendRegister(line);
    });
}

bool SipEndpoint::Unregister(const std::string& aor)
{
    std::shared_ptr<SipLine> line;
    {
        std::lock_guard<std::mutex> lock(stack_->mutex);
        for (auto it = stack_->lines.begin(); it != stack_->lines.end(); ++it)
            if (it->second->aor == aor) {
                line = it->second;
                stack_->lines.erase(it);
                break;
            }
    }
    if (!line)
        return false;
    return stack_->Post([line] {
        if (line->nh)
            nua_unregister(line->nh, TAG_END());
    });
}

bool SipEndpoint::IsRegistered(const std::string& aor) const
{
    std::lock_guard<std::mutex> lock(stack_->mutex);
    for (const auto& entry : stack_->lines)
        if (entry.second->aor == aor)
            return entry.second->registered;
    return false;
}

unsigned SipEndpoint::RegistrationCount(const std::string& aor) const
{
    std::lock_guard<std::mutex> lock(stack_->mutex);
    for (const auto& entry : stack_->lines)
        if (entry.second->aor == aor)
            return entry.second->successes;
    return 0;
}

void SipEndpoint::SetMediaTimeout(std::chrono::milliseconds timeout)
{
    media_->SetInactivityTimeout(timeout);
    stack_->mediaTimeoutMs = timeout.count();
}

void SipEndpoint::SetRtpPortRange(int first, int last)
{
    media_->SetPortRange(first, last);
}

MediaEngine& SipEndpoint::Media()
{
    return *media_;
}

std::shared_ptr<Connection> SipEndpoint::CreateConnection(Call& call, const std::string& token, void*,
                                                          const std::string& address, unsigned options,
                                                          const StringOptions& stringOptions)
{
    return std::make_shared<SipConnection>(*this, call, token, address, options, stringOptions);
}

} // namespace voip
