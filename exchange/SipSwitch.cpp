// Sofia's magic types are fixed before its headers come in.
namespace exchange {
struct SwitchCore;
struct Leg;
} // namespace exchange

#define NUA_MAGIC_T exchange::SwitchCore
#define NUA_HMAGIC_T exchange::Leg

#include <sofia-sip/msg_header.h>
#include <sofia-sip/nta_tag.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/su.h>
#include <sofia-sip/su_md5.h>
#include <sofia-sip/url.h>

#include "exchange/LineTable.h"
#include "voip/media/RtpRelay.h"
#include "exchange/SdpRelay.h"
#include "exchange/SipSwitch.h"
#include "platform/dialplan/DialPlan.h"
#include "voip/sip/RequestPolicy.h"
#include "voip/sip/SofiaLoop.h"
#include "voip/sip/SofiaText.h"

#include "exchange/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>

namespace exchange {

using voip::RelayPort;
using voip::RtpRelay;
using voip::Unquote;
using voip::UrlText;

namespace {

using Clock = std::chrono::steady_clock;

std::string Md5Hex(const std::string& text)
{
    su_md5_t md5;
    su_md5_init(&md5);
    su_md5_update(&md5, text.data(), text.size());
    char hex[SU_MD5_DIGEST_SIZE * 2 + 1];
    su_md5_hexdigest(&md5, hex);
    return hex;
}

std::string Param(const msg_param_t* params, const char* name)
{
    return params ? Unquote(msg_params_find(params, name)) : std::string();
}

} // namespace

struct Call;

// One SIP dialog of a call; the stack's thread alone touches it.
struct Leg
{
    nua_handle_t* nh = nullptr;
    std::weak_ptr<Call> call;
    bool incoming = false;     // the caller's leg (A); else the called party's (B)
    std::string number;        // the extension or outside number at the far end
    std::string line;          // that number, when it is a line of a control client
    std::shared_ptr<RelayPort> relay;
    std::string sdpSent;       // our description towards this leg's peer
    bool answered = false;
    bool alerted = false;      // 180 sent (A) or received (B)
    bool hangingUp = false;    // our BYE, CANCEL or final answer is on its way
    bool ended = false;
    bool detached = false;     // a line's leg of a joined call: its end releases nobody
    bool onHold = false;
    std::chrono::steady_clock::time_point answeredAt; // its media is watched from then on
};

struct Call
{
    int id = 0;
    std::shared_ptr<Leg> a, b;
    std::weak_ptr<Call> joined; // the call whose far party ours talks to
};

struct Registration
{
    std::string contact;
    std::string callId; // a new one is a new registration, not a refresh
    Clock::time_point expires;
};

struct SwitchCore
{
    SwitchCore(const ExchangeConfig& c, LineTable& l, const dialplan::DialPlan& p, RtpRelay& r)
        : config(c), lines(l), plan(p), relay(r)
    {
        std::random_device rd;
        secret = std::to_string(rd()) + std::to_string(rd());
    }

    bool Start(const std::string& host, int port);
    void Stop();

    void Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, Leg* leg, const sip_t* sip,
               tagi_t tags[]);
    void OnRegister(nua_handle_t* nh, const sip_t* sip);
    void OnInvite(nua_handle_t* nh, const sip_t* sip);
    void OnReInvite(const std::shared_ptr<Leg>& leg, const sip_t* sip);
    void OnAnswer(const std::shared_ptr<Leg>& leg, int status, const sip_t* sip);
    void OnInfo(const std::shared_ptr<Leg>& leg, const sip_t* sip);
    void LegEnded(const std::shared_ptr<Leg>& leg);
    void HangUp(const std::shared_ptr<Leg>& leg, int status, const char* phrase);
    void Join(const std::shared_ptr<Call>& first, const std::shared_ptr<Call>& second);
    void HoldLine(const std::shared_ptr<Call>& call, const std::string& line);
    void ReleaseLine(const std::shared_ptr<Call>& call, const std::string& line);
    void Finish(const std::shared_ptr<Call>& call);
    // Ends the leg here and now, without waiting for a peer that may be gone; the call follows.
    void Abandon(const std::shared_ptr<Leg>& leg, const std::string& why);
    void CheckMedia();
    void ReleaseLegsOf(const std::string& line);
    std::shared_ptr<Leg> Find(Leg* leg) const;
    void Forget(const std::shared_ptr<Leg>& leg);
    std::string ContactOf(const std::string& number) const;
    std::string Nonce() const;
    bool NonceValid(const std::string& nonce, bool& stale) const;
    std::string Challenge(bool stale) const;
    enum class Digest { Missing, Wrong, Good };
    // The credentials of a request against user's password; Missing asks for a (new) challenge.
    Digest CheckDigest(const msg_auth_t* auth, const char* method, const std::string& user,
                       const std::string& password, bool& stale) const;
    std::string SelfUrl(const std::string& user) const
    {
        return "sip:" + user + "@" + host + ":" + std::to_string(port);
    }

    const ExchangeConfig& config;
    LineTable& lines;
    const dialplan::DialPlan& plan;
    RtpRelay& relay;
    std::string secret;
    std::string host;
    int port = 0; // 0 to Start: a free one, which the stack then tells
    std::promise<void> portBound;

    std::mutex mutex; // guards what other threads read: registrations, counters
    std::map<std::string, Registration> registrations;
    std::atomic<uint64_t> answeredCalls{0};
    std::atomic<size_t> callCount{0};

    // The stack's thread only.
    int lastCall = 0;
    std::map<Leg*, std::shared_ptr<Leg>> legs;
    std::map<int, std::shared_ptr<Call>> calls;
    std::map<std::string, std::set<int>> lineCalls; // line -> calls it holds (not detached)
    // REGISTER is the registrar's to answer; INFO the stack answers, the keys are relayed.
    const voip::RequestPolicy policy{"REGISTER, INFO", "REGISTER"};
    voip::SofiaLoop loop;
};

namespace {

void OnNuaEvent(nua_event_t event, int status, const char* phrase, nua_t*, SwitchCore* core, nua_handle_t* nh,
                Leg* leg, const sip_t* sip, tagi_t tags[])
{
    core->Event(event, status, phrase, nh, leg, sip, tags);
}

} // namespace

bool SwitchCore::Start(const std::string& listenHost, int listenPort)
{
    host = listenHost;
    port = listenPort;
    std::string url = "sip:" + host + ":" + std::to_string(port) + ";transport=udp";
    portBound = std::promise<void>();
    std::future<void> bound = portBound.get_future();
    bool started = loop.Start([this, &url](su_root_t* root) {
        // The media is ours (relayed, not terminated): SDP passes through as message bodies.
        nua_t* n = nua_create(root, OnNuaEvent, this, NUTAG_URL(url.c_str()), NUTAG_MEDIA_ENABLE(0),
                              NUTAG_AUTOANSWER(0), NUTAG_AUTOALERT(0), NUTAG_AUTOACK(1), NUTAG_ENABLEINVITE(1),
                              NUTAG_OUTBOUND("no-validate, no-options-keepalive"), TAG_NEXT(policy.Tags()));
        // Port 0 has the stack bind a free one; its contact tells which.
        if (n && port == 0)
            nua_get_params(n, TAG_ANY(), TAG_END());
        return n;
    });
    if (!started)
        return false;
    if (listenPort == 0)
        bound.wait();
    if (port > 0) {
        if (config.mediaTimeoutSeconds > 0)
            loop.Every(std::chrono::seconds(1), [this] { CheckMedia(); });
        return true;
    }
    loop.Stop();
    return false;
}

void SwitchCore::Stop()
{
    loop.Stop([this] {
        // Every call ends with a BYE or CANCEL of its own before the stack goes.
        for (auto& [id, call] : std::map<int, std::shared_ptr<Call>>(calls)) {
            if (call->a && !call->a->ended)
                HangUp(call->a, 503, "Service Unavailable");
            if (call->b && !call->b->ended)
                HangUp(call->b, 503, "Service Unavailable");
        }
    });
}

std::shared_ptr<Leg> SwitchCore::Find(Leg* leg) const
{
    auto it = legs.find(leg);
    return it == legs.end() ? nullptr : it->second;
}

void SwitchCore::Forget(const std::shared_ptr<Leg>& leg)
{
    // The handle goes after the callback that ended it has returned.
    legs.erase(leg.get());
    nua_handle_t* nh = leg->nh;
    leg->nh = nullptr;
    if (nh)
        loop.DestroyHandleLater(nh, leg);
}

void SwitchCore::Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, Leg* raw,
                       const sip_t* sip, tagi_t tags[])
{
    std::shared_ptr<Leg> leg = raw ? Find(raw) : nullptr;
    switch (event) {
    case nua_i_register:
        OnRegister(nh, sip);
        return;
    case nua_i_invite:
        if (leg)
            OnReInvite(leg, sip);
        else if (!raw)
            OnInvite(nh, sip);
        return;
    case nua_r_invite:
        if (leg)
            OnAnswer(leg, status, sip);
        return;
    case nua_i_state: {
        int state = -1;
        tl_gets(tags, NUTAG_CALLSTATE_REF(state), TAG_END());
        if (leg && state == nua_callstate_terminated)
            LegEnded(leg);
        return;
    }
    case nua_i_info:
        if (leg)
            OnInfo(leg, sip);
        return;
    case nua_r_get_params:
        if (port == 0) {
            const sip_contact_t* contact = nullptr;
            tl_gets(tags, NTATAG_CONTACT_REF(contact), TAG_END());
            // The contact leaves out the default port.
            if (contact && contact->m_url->url_port)
                port = std::atoi(contact->m_url->url_port);
            else if (contact)
                port = 5060;
            portBound.set_value();
        }
        return;
    case nua_r_shutdown:
        loop.OnShutdown(status);
        return;
    default:
        voip::RequestPolicy::DisposeStray(event, nh, raw != nullptr);
        return;
    }
}

// ---- registrar ----

std::string SwitchCore::Nonce() const
{
    auto now = std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
    char stamp[20];
    std::snprintf(stamp, sizeof stamp, "%llx", static_cast<unsigned long long>(now));
    return std::string(stamp) + Md5Hex(secret + stamp).substr(0, 16);
}

bool SwitchCore::NonceValid(const std::string& nonce, bool& stale) const
{
    stale = false;
    if (nonce.size() <= 16)
        return false;
    std::string stamp = nonce.substr(0, nonce.size() - 16);
    if (Md5Hex(secret + stamp).substr(0, 16) != nonce.substr(stamp.size()))
        return false;
    auto now = std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
    long long issued = std::strtoll(stamp.c_str(), nullptr, 16);
    stale = now - issued > 300;
    return !stale;
}

std::string SwitchCore::Challenge(bool stale) const
{
    return "Digest realm=\"" + config.realm + "\", nonce=\"" + Nonce() + "\", algorithm=MD5" +
           (stale ? ", stale=true" : "");
}

SwitchCore::Digest SwitchCore::CheckDigest(const msg_auth_t* auth, const char* method, const std::string& user,
                                           const std::string& password, bool& stale) const
{
    stale = false;
    if (!auth)
        return Digest::Missing;
    std::string name = Param(auth->au_params, "username=");
    std::string realm = Param(auth->au_params, "realm=");
    std::string nonce = Param(auth->au_params, "nonce=");
    std::string uri = Param(auth->au_params, "uri=");
    std::string response = Param(auth->au_params, "response=");
    std::string qop = Param(auth->au_params, "qop=");
    // An old or foreign nonce is challenged again, not refused: the peer may simply be late.
    if (!NonceValid(nonce, stale))
        return Digest::Missing;
    std::string ha1 = Md5Hex(name + ":" + realm + ":" + password);
    std::string ha2 = Md5Hex(std::string(method) + ":" + uri);
    std::string expected =
        qop.empty() ? Md5Hex(ha1 + ":" + nonce + ":" + ha2)
                    : Md5Hex(ha1 + ":" + nonce + ":" + Param(auth->au_params, "nc=") + ":" +
                             Param(auth->au_params, "cnonce=") + ":" + qop + ":" + ha2);
    return name == user && realm == config.realm && response == expected ? Digest::Good : Digest::Wrong;
}

void SwitchCore::OnRegister(nua_handle_t* nh, const sip_t* sip)
{
    auto respond = [&](int status, const char* phrase, const std::string& challenge = {}) {
        if (challenge.empty())
            nua_respond(nh, status, phrase, NUTAG_WITH_THIS(loop.Nua()), TAG_END());
        else
            nua_respond(nh, status, phrase, NUTAG_WITH_THIS(loop.Nua()), SIPTAG_WWW_AUTHENTICATE_STR(challenge.c_str()),
                        TAG_END());
        nua_handle_destroy(nh);
    };
    if (!sip || !sip->sip_to || !sip->sip_to->a_url->url_user) {
        respond(SIP_400_BAD_REQUEST);
        return;
    }
    std::string number = sip->sip_to->a_url->url_user;
    const Extension* extension = config.FindExtension(number);
    if (!extension) {
        Log(Notice, "registration of unknown extension ", number, " refused");
        respond(SIP_404_NOT_FOUND);
        return;
    }
    bool stale = false;
    switch (CheckDigest(sip->sip_authorization, "REGISTER", number, extension->password, stale)) {
    case Digest::Missing:
        respond(SIP_401_UNAUTHORIZED, Challenge(stale));
        return;
    case Digest::Wrong:
        Log(Notice, "registration of ", number, " refused: wrong user name or password");
        respond(SIP_403_FORBIDDEN);
        return;
    case Digest::Good:
        break;
    }
    const sip_contact_t* contact = sip->sip_contact;
    long expires = sip->sip_expires ? static_cast<long>(sip->sip_expires->ex_delta) : 3600;
    if (contact && contact->m_expires)
        expires = std::strtol(contact->m_expires, nullptr, 10);
    bool removeAll = contact && contact->m_url->url_type == url_any;
    std::string callId = sip->sip_call_id && sip->sip_call_id->i_id ? sip->sip_call_id->i_id : "";
    bool replaced = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!contact) {
            // A query: nothing changes.
        } else if (removeAll || expires <= 0) {
            // A contact that says goodbye takes only itself away, not the one that replaced it.
            auto old = registrations.find(number);
            if (old != registrations.end() && (removeAll || old->second.contact == UrlText(contact->m_url)))
                registrations.erase(old);
        } else {
            std::string url = UrlText(contact->m_url);
            auto old = registrations.find(number);
            replaced = old != registrations.end() && (old->second.contact != url || old->second.callId != callId);
            registrations[number] = {url, callId, Clock::now() + std::chrono::seconds(expires)};
        }
    }
    // A line registering anew (another contact, or the same one by a user agent that started
    // again) has lost whatever its previous registration held: those legs would stay up forever.
    if (replaced && extension->line)
        ReleaseLegsOf(number);
    if (contact && !removeAll && expires > 0)
        Log(Informational, "registered ", number, " at ", UrlText(contact->m_url));
    else if (contact)
        Log(Informational, "unregistered ", number);
    nua_respond(nh, SIP_200_OK, NUTAG_WITH_THIS(loop.Nua()), SIPTAG_CONTACT(removeAll ? nullptr : contact), TAG_END());
    nua_handle_destroy(nh);
}

std::string SwitchCore::ContactOf(const std::string& number) const
{
    auto it = registrations.find(number);
    if (it == registrations.end() || it->second.expires < Clock::now())
        return {};
    return it->second.contact;
}

// ---- calls ----

void SwitchCore::OnInvite(nua_handle_t* nh, const sip_t* sip)
{
    auto refuse = [&](int status, const char* phrase) {
        nua_respond(nh, status, phrase, TAG_END());
        nua_handle_destroy(nh);
    };
    if (!sip || !sip->sip_from || !sip->sip_request || !sip->sip_from->a_url->url_user) {
        refuse(SIP_400_BAD_REQUEST);
        return;
    }
    std::string caller = sip->sip_from->a_url->url_user;
    std::string dialled = sip->sip_request->rq_url->url_user ? sip->sip_request->rq_url->url_user : "";
    int cos = lines.CosOf(caller);
    const Extension* extension = config.FindExtension(caller);
    if (cos < 0 || !extension) {
        Log(Notice, "call from unknown ", caller, " to ", dialled, " refused: 403");
        refuse(SIP_403_FORBIDDEN);
        return;
    }
    // From is only what the sender wrote: the caller proves it with the extension's password, as
    // its registration does. Proxy-Authorization answers our 407; Authorization is taken as well.
    bool stale = false;
    const msg_auth_t* credentials =
        sip->sip_proxy_authorization ? sip->sip_proxy_authorization : sip->sip_authorization;
    switch (CheckDigest(credentials, "INVITE", caller, extension->password, stale)) {
    case Digest::Missing: {
        std::string challenge = Challenge(stale);
        nua_respond(nh, SIP_407_PROXY_AUTH_REQUIRED, SIPTAG_PROXY_AUTHENTICATE_STR(challenge.c_str()), TAG_END());
        nua_handle_destroy(nh);
        return;
    }
    case Digest::Wrong:
        Log(Notice, "call from ", caller, " to ", dialled, " refused: wrong user name or password");
        refuse(SIP_403_FORBIDDEN);
        return;
    case Digest::Good:
        break;
    }
    dialplan::RouteDecision route = plan.Route(cos, dialled);
    // The plan knows number lengths, not extensions: an internal number no extension holds is
    // unknown, whatever the caller's class.
    if (route.status != 404 && !route.outside && !config.FindExtension(route.number))
        route.status = 404;
    std::string target;
    if (route.status == 0) {
        std::lock_guard<std::mutex> lock(mutex);
        target = ContactOf(route.number);
    }
    if (route.status == 0 && target.empty()) {
        if (route.outside && !config.trunk.empty())
            target = "sip:" + route.number + "@" + config.trunk;
        else
            route.status = route.outside || !config.FindExtension(route.number) ? 404 : 480;
    }
    if (route.status != 0) {
        Log(Informational, "call from ", caller, " to ", dialled, " refused: " + std::to_string(route.status));
        switch (route.status) {
        case 403: refuse(SIP_403_FORBIDDEN); break;
        case 480: refuse(SIP_480_TEMPORARILY_UNAVAILABLE); break;
        default: refuse(SIP_404_NOT_FOUND); break;
        }
        return;
    }
    std::string offer = sip->sip_payload ? std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len) : "";
    SdpMedia media = ParseSdpMedia(offer);
    if (!media.valid) {
        refuse(SIP_488_NOT_ACCEPTABLE);
        return;
    }
    auto call = std::make_shared<Call>();
    call->id = ++lastCall;
    call->a = std::make_shared<Leg>();
    call->b = std::make_shared<Leg>();
    call->a->relay = relay.Open();
    call->b->relay = relay.Open();
    if (!call->a->relay || !call->b->relay || !relay.SetPeer(call->a->relay, media.address, media.port)) {
        relay.Close(call->a->relay);
        relay.Close(call->b->relay);
        refuse(SIP_503_SERVICE_UNAVAILABLE);
        return;
    }
    relay.Link(call->a->relay, call->b->relay);
    Leg& a = *call->a;
    a.nh = nh;
    a.call = call;
    a.incoming = true;
    a.number = caller;
    a.line = lines.IsLine(caller) ? caller : "";
    a.onHold = media.sendonly;
    a.sdpSent = RewriteSdp(offer, relay.Address(), call->a->relay->Port()); // our answer, once B answers
    nua_handle_bind(nh, call->a.get());
    legs[call->a.get()] = call->a;

    Leg& b = *call->b;
    b.call = call;
    b.number = route.number;
    b.line = !route.outside && lines.IsLine(route.number) ? route.number : "";
    b.sdpSent = RewriteSdp(offer, relay.Address(), call->b->relay->Port());
    std::string from = "\"" + caller + "\" <" + SelfUrl(caller) + ">";
    std::string to = "<" + SelfUrl(route.number) + ">";
    b.nh = nua_handle(loop.Nua(), call->b.get(), SIPTAG_FROM_STR(from.c_str()), SIPTAG_TO_STR(to.c_str()), TAG_END());
    legs[call->b.get()] = call->b;
    calls[call->id] = call;
    callCount = calls.size();

    Log(Informational, "call ", call->id, " from " + caller + " to " + dialled, " (" + route.className + ")");
    nua_invite(b.nh, NUTAG_URL(target.c_str()), SIPTAG_CONTENT_TYPE_STR("application/sdp"),
               SIPTAG_PAYLOAD_STR(b.sdpSent.c_str()), TAG_END());
    if (!a.line.empty()) {
        lineCalls[a.line].insert(call->id);
        lines.Report(a.line, call->id, CallState::Dialing);
    }
    if (!b.line.empty()) {
        lineCalls[b.line].insert(call->id);
        lines.Report(b.line, call->id, CallState::Ringing);
    }
}

void SwitchCore::OnAnswer(const std::shared_ptr<Leg>& b, int status, const sip_t* sip)
{
    std::shared_ptr<Call> call = b->call.lock();
    if (!call || b->ended || b->incoming)
        return;
    std::shared_ptr<Leg> a = call->a;
    if (status == 180 || status == 183) {
        if (!b->alerted) {
            b->alerted = true;
            if (!a->ended && !a->hangingUp)
                nua_respond(a->nh, SIP_180_RINGING, TAG_END());
            if (!a->line.empty())
                lines.Report(a->line, call->id, CallState::Ringing);
        }
        return;
    }
    if (status < 200)
        return;
    if (status >= 300) {
        Log(Informational, "call ", call->id, " answered ", status);
        if (!a->line.empty() && (status == 486 || status == 600))
            lines.Report(a->line, call->id, CallState::Busy);
        // The caller gets the called party's answer; the leg's end follows in its state.
        if (!a->ended && !a->hangingUp) {
            a->hangingUp = true;
            // nua sends later and keeps the phrase's pointer, not a copy: the response's text is gone
            // by then.
            const char* text = sip_status_phrase(status);
            nua_respond(a->nh, status, text ? text : "Call Failed", TAG_END());
        }
        return;
    }
    if (b->answered)
        return; // a retransmitted 200
    std::string answer = sip && sip->sip_payload ? std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len) : "";
    SdpMedia media = ParseSdpMedia(answer);
    b->answered = true;
    if (!media.valid || !relay.SetPeer(b->relay, media.address, media.port)) {
        Log(Warning, "call ", call->id, ": the called party's answer has no usable audio");
        HangUp(b, 488, "Not Acceptable Here");
        return;
    }
    b->onHold = media.sendonly;
    ++answeredCalls;
    // What the caller gets is the called party's answer with the relay's address in it.
    a->sdpSent = RewriteSdp(answer, relay.Address(), a->relay->Port());
    if (a->ended || a->hangingUp) {
        HangUp(b, 487, "Request Terminated");
        return;
    }
    a->answered = true;
    a->hangingUp = false;
    a->answeredAt = b->answeredAt = Clock::now();
    nua_respond(a->nh, SIP_200_OK, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(a->sdpSent.c_str()),
                TAG_END());
    Log(Informational, "call ", call->id, " connected");
    if (!b->line.empty())
        lines.Report(b->line, call->id, CallState::Connected);
    if (!a->line.empty()) {
        lines.Report(a->line, call->id, CallState::Connected);
        // A second answered call placed from the same line joins the first one's far party.
        std::shared_ptr<Call> first;
        for (int other : lineCalls[a->line]) {
            auto it = calls.find(other);
            if (other == call->id || it == calls.end())
                continue;
            const Call& candidate = *it->second;
            if (candidate.a->line == a->line && candidate.b->answered && !candidate.b->ended &&
                !candidate.a->ended && !candidate.joined.lock()) {
                first = it->second;
                break;
            }
        }
        if (first)
            Join(first, call);
    }
}

void SwitchCore::Join(const std::shared_ptr<Call>& first, const std::shared_ptr<Call>& second)
{
    Log(Informational, "line ", second->a->line, ": call " + std::to_string(first->id) + " joined with call ",
        second->id);
    relay.Unlink(first->a->relay);
    relay.Unlink(second->a->relay);
    relay.Link(first->b->relay, second->b->relay);
    first->joined = second;
    second->joined = first;
    first->a->detached = true;
    second->a->detached = true;
    // The line now holds the second call only, until the service clears its leg.
    lineCalls[first->a->line].erase(first->id);
}

void SwitchCore::OnReInvite(const std::shared_ptr<Leg>& leg, const sip_t* sip)
{
    std::string offer = sip && sip->sip_payload ? std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len) : "";
    SdpMedia media = ParseSdpMedia(offer);
    if (!offer.empty() && (!media.valid || !relay.SetPeer(leg->relay, media.address, media.port))) {
        nua_respond(leg->nh, SIP_488_NOT_ACCEPTABLE, TAG_END());
        return;
    }
    std::string answer = leg->sdpSent;
    if (!offer.empty()) {
        // Hold is the peer's business with the exchange: answer in the matching direction.
        answer = SetSdpDirection(answer, media.sendonly ? "recvonly" : media.inactive ? "inactive" : "sendrecv");
    }
    nua_respond(leg->nh, SIP_200_OK, SIPTAG_CONTENT_TYPE_STR("application/sdp"), SIPTAG_PAYLOAD_STR(answer.c_str()),
                TAG_END());
    bool hold = media.valid && (media.sendonly || media.inactive);
    std::shared_ptr<Call> call = leg->call.lock();
    if (call && !leg->line.empty() && !leg->detached && hold != leg->onHold)
        lines.Report(leg->line, call->id, hold ? CallState::Hold : CallState::Connected);
    leg->onHold = hold;
}

void SwitchCore::OnInfo(const std::shared_ptr<Leg>& leg, const sip_t* sip)
{
    // Keys sent as SIP INFO reach the party this leg talks to the same way.
    std::shared_ptr<Call> call = leg->call.lock();
    if (!call || !sip || !sip->sip_payload || !sip->sip_content_type || leg->detached)
        return;
    std::shared_ptr<Leg> to = leg == call->a ? call->b : call->a;
    if (auto joined = call->joined.lock())
        to = joined->b;
    if (to && !to->ended && to->answered && to->nh)
        nua_info(to->nh, SIPTAG_CONTENT_TYPE(sip->sip_content_type), SIPTAG_PAYLOAD(sip->sip_payload), TAG_END());
}

void SwitchCore::HangUp(const std::shared_ptr<Leg>& leg, int status, const char* phrase)
{
    if (!leg || leg->ended || leg->hangingUp || !leg->nh)
        return;
    leg->hangingUp = true;
    if (leg->answered)
        nua_bye(leg->nh, TAG_END());
    else if (leg->incoming)
        nua_respond(leg->nh, status, phrase, TAG_END());
    else
        nua_cancel(leg->nh, TAG_END());
}

void SwitchCore::ReleaseLine(const std::shared_ptr<Call>& call, const std::string& line)
{
    if (line.empty())
        return;
    auto it = lineCalls.find(line);
    if (it == lineCalls.end() || it->second.erase(call->id) == 0)
        return;
    // Idle only when the line holds no other call with a party outside the service.
    if (it->second.empty()) {
        lineCalls.erase(it);
        lines.Report(line, call->id, CallState::Idle);
    }
}

void SwitchCore::LegEnded(const std::shared_ptr<Leg>& leg)
{
    if (leg->ended)
        return;
    leg->ended = true;
    Forget(leg);
    std::shared_ptr<Call> call = leg->call.lock();
    if (!call)
        return;
    relay.Unlink(leg->relay);
    if (leg->detached) {
        ReleaseLine(call, leg->line);
    } else if (auto joined = call->joined.lock()) {
        // One joined party gone releases the other.
        Log(Informational, "call ", call->id, ": joined party ", leg->number, " hung up");
        HangUp(joined->b, 487, "Request Terminated");
    } else {
        std::shared_ptr<Leg> other = leg == call->a ? call->b : call->a;
        HangUp(other, 487, "Request Terminated");
        ReleaseLine(call, call->a->line);
        ReleaseLine(call, call->b->line);
    }
    Finish(call);
}

void SwitchCore::Finish(const std::shared_ptr<Call>& call)
{
    if (!call->a->ended || !call->b->ended)
        return;
    relay.Close(call->a->relay);
    relay.Close(call->b->relay);
    if (calls.erase(call->id)) {
        Log(Informational, "call ", call->id, " ended");
        callCount = calls.size();
    }
}

void SwitchCore::Abandon(const std::shared_ptr<Leg>& leg, const std::string& why)
{
    if (!leg || leg->ended)
        return;
    std::shared_ptr<Call> call = leg->call.lock();
    Log(Notice, "call ", call ? call->id : 0, ": leg to " + leg->number + " cleared: ", why);
    // The BYE (or CANCEL) goes out for a peer that is still there; its answer is not waited for.
    HangUp(leg, 408, "Request Timeout");
    LegEnded(leg);
}

void SwitchCore::CheckMedia()
{
    auto now = Clock::now();
    auto timeout = std::chrono::seconds(config.mediaTimeoutSeconds);
    for (auto& [id, call] : std::map<int, std::shared_ptr<Call>>(calls)) {
        for (const std::shared_ptr<Leg>& leg : {call->a, call->b}) {
            // A peer on hold may rightly send nothing.
            if (!leg || !leg->answered || leg->ended || leg->hangingUp || leg->onHold || !leg->relay)
                continue;
            auto last = std::max(leg->answeredAt, leg->relay->LastHeard());
            if (now - last > timeout)
                Abandon(leg, "no media for " + std::to_string(config.mediaTimeoutSeconds) + " s");
        }
    }
}

void SwitchCore::ReleaseLegsOf(const std::string& line)
{
    for (auto& [raw, leg] : std::map<Leg*, std::shared_ptr<Leg>>(legs))
        if (leg->line == line && !leg->ended)
            Abandon(leg, "line " + line + " registered anew");
}

// ---- the facade ----

SipSwitch::SipSwitch(const ExchangeConfig& config, LineTable& lines, const dialplan::DialPlan& plan,
                     RtpRelay& relay)
    : core_(std::make_unique<SwitchCore>(config, lines, plan, relay))
{
}

SipSwitch::~SipSwitch() { Stop(); }

bool SipSwitch::Start(const std::string& host, int port) { return core_->Start(host, port); }

int SipSwitch::Port() const { return core_->port; }

void SipSwitch::Stop() { core_->Stop(); }

bool SipSwitch::IsRegistered(const std::string& number) const
{
    std::lock_guard<std::mutex> lock(core_->mutex);
    return !core_->ContactOf(number).empty();
}

size_t SipSwitch::CallCount() const { return core_->callCount; }

uint64_t SipSwitch::AnsweredCount() const { return core_->answeredCalls; }

} // namespace exchange
