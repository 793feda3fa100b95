// Inside the SIP endpoint: Sofia-SIP's objects, the su_root thread that alone touches them, and the
// per-handle state. Include it first: it fixes Sofia's magic types.
#pragma once

namespace voip {
struct SipStack;
struct SipHandle;
} // namespace voip

#define NUA_MAGIC_T voip::SipStack
#define NUA_HMAGIC_T voip::SipHandle

#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/soa_tag.h>
#include <sofia-sip/su.h>
#include <sofia-sip/su_log.h>
#include <sofia-sip/su_tag_io.h>
#include <sofia-sip/url.h>

#include "voip/core/CallEndReason.h"
#include "voip/core/Executor.h"
#include "voip/media/MediaEngine.h"
#include "voip/media/RtpRelay.h"
#include "voip/sip/RequestPolicy.h"
#include "voip/sip/SipConnection.h"
#include "voip/sip/SipEndpoint.h"
#include "voip/sip/SofiaLoop.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

class Manager;

struct SipHandle
{
    virtual ~SipHandle() = default;
    // The rest is touched on the stack's thread only.
    nua_handle_t* nh = nullptr;
    int authTries = 0;
    std::string authUser;
    std::string password;
};

struct SipJoin;

struct SipLeg : SipHandle
{
    const uint64_t id = NextId();
    static uint64_t NextId();

    // Shared with other threads.
    std::mutex mutex;
    std::weak_ptr<SipConnection> connection;
    bool ended = false; // the protocol side is over
    std::shared_ptr<MediaStream> media;
    // The leg's reports to the application, run in the order SIP gave them.
    std::shared_ptr<Strand> reports;

    bool incoming = false;
    bool answered = false;
    bool ready = false;
    bool clearing = false;
    int finalStatus = 0;
    std::string localSdp;
    std::string remoteSdp;
    std::string appliedSdp; // the pair the media runs on
    // For the line observer: the line the leg was placed from or offered to, and the far party.
    std::string line;
    std::string remoteUser;
    bool released = false; // the observer has been told the application let go
    bool held = false;
    std::shared_ptr<SipJoin> join;
};

// Two legs whose far parties talk through the relay.
struct SipJoin
{
    std::shared_ptr<SipLeg> first;
    std::shared_ptr<SipLeg> second;
    std::shared_ptr<RelayPort> firstPort;
    std::shared_ptr<RelayPort> secondPort;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point deadline; // the epoch: none
    bool over = false;
};

struct SipLine : SipHandle
{
    std::string line;
    std::string aor;
    std::string registrar; // host[:port]
    std::string proxy;     // host[:port]
    std::string contactUser;
    unsigned expire = 360;
    std::atomic<bool> registered{false};
    std::atomic<unsigned> successes{0};
};

struct SipStack
{
    SipStack(SipEndpoint& owner, Manager& calls) : endpoint(owner), manager(calls) {}
    ~SipStack() { Stop(); }

    bool Start(const std::string& url, const std::string& localAddress, int port);
    void Stop() { loop.Stop(); }
    // Runs task on the stack's thread; false when the stack is not running.
    bool Post(std::function<void()> task) { return loop.Post(std::move(task)); }

    void Event(nua_event_t event, int status, const char* phrase, nua_handle_t* nh, SipHandle* handle,
               const sip_t* sip, tagi_t tags[]);
    void IncomingInvite(nua_handle_t* nh, const sip_t* sip);
    void OnState(const std::shared_ptr<SipLeg>& leg, tagi_t tags[]);
    void OnInfo(const std::shared_ptr<SipLeg>& leg, const sip_t* sip);
    void OnTransfer(const std::shared_ptr<SipLeg>& leg, int status, const std::string& phrase, bool progress);
    void OnRegister(SipLine& line, nua_event_t event, int status, const sip_t* sip);
    // Sends the line's REGISTER on its handle, made here the first time.
    void SendRegister(const std::shared_ptr<SipLine>& line);
    bool Authenticate(SipHandle& handle, const sip_t* sip);
    // Answers a request with a final refusal; a handle the stack made for it (handle null) goes.
    void Refuse(nua_handle_t* nh, SipHandle* handle, int status, const char* phrase);
    void Forget(SipHandle* handle);
    std::shared_ptr<SipLeg> LegOf(SipHandle* handle);
    void StartMedia(const std::shared_ptr<SipLeg>& leg);
    void ClearLeg(const std::shared_ptr<SipLeg>& leg, CallEndReason reason);
    void EndLeg(const std::shared_ptr<SipLeg>& leg, CallEndReason reason);
    // Runs the application's handler for a leg on a worker, after the leg's earlier reports.
    void Report(const std::shared_ptr<SipLeg>& leg, std::function<void()> task);
    // Tells the line observer, if any, of a leg on a line.
    void Tell(const std::shared_ptr<SipLeg>& leg, LegEvent event, int status = 0, JoinEnd why = JoinEnd::HungUp);
    void Join(uint64_t first, uint64_t second, std::chrono::milliseconds limit, std::function<void(bool)> done);
    void EndJoin(const std::shared_ptr<SipJoin>& join, const SipLeg* by, JoinEnd why);
    void CheckJoins();
    std::shared_ptr<LineLegObserver> Observer() const;
    static CallEndReason ReasonOfStatus(int status);
    std::shared_ptr<SipLine> FindLine(const std::string& line) const;

    SipEndpoint& endpoint;
    Manager& manager;
    std::string localAddress;
    int port = 0;

    mutable std::mutex mutex; // guards lines and observer
    std::shared_ptr<LineLegObserver> observer;
    std::atomic<int64_t> mediaTimeoutMs{60000};
    // Stack thread only.
    std::map<uint64_t, std::weak_ptr<SipLeg>> legIds;
    std::unique_ptr<RtpRelay> relay; // made at the first join
    std::vector<std::shared_ptr<SipJoin>> joins;
    bool joinTicker = false;
    std::map<SipHandle*, std::shared_ptr<SipHandle>> handles; // stack thread only
    std::map<std::string, std::shared_ptr<SipLine>> lines;     // by line name
    // INFO is ours: the stack would accept one outside any call.
    const RequestPolicy policy{"INFO", "INFO"};
    SofiaLoop loop;
};

// The observer set process-wide for endpoints made from now on.
std::shared_ptr<LineLegObserver> SipEndpointDefaultObserver();

// The observer set process-wide for endpoints made from now on.
std::shared_ptr<LineLegObserver> SipEndpointDefaultObserver();

} // namespace voip
