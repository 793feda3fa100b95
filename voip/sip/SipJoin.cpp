// The join of two answered legs' far parties: their RTP through the relay, their dialogs kept up
// after the application lets go of the legs, and ended together.
#include "voip/sip/SipStack.h"

#include "voip/core/Log.h"
#include "voip/core/Manager.h"

#include <unistd.h>

#include <algorithm>

namespace voip {

namespace {

std::mutex defaultObserverMutex;
std::shared_ptr<LineLegObserver> defaultObserver;

const char* JoinEndText(JoinEnd why)
{
    switch (why) {
    case JoinEnd::HungUp: return "a party hung up";
    case JoinEnd::TimeLimit: return "time limit";
    case JoinEnd::MediaTimeout: return "no media";
    }
    return "?";
}

} // namespace

uint64_t SipLeg::NextId()
{
    static std::atomic<uint64_t> last{0};
    return ++last;
}

void SipStack::Join(uint64_t firstId, uint64_t secondId, std::chrono::milliseconds limit,
                    std::function<void(bool)> done)
{
    auto find = [this](uint64_t id) -> std::shared_ptr<SipLeg> {
        auto it = legIds.find(id);
        return it == legIds.end() ? nullptr : it->second.lock();
    };
    auto joinable = [](const std::shared_ptr<SipLeg>& leg) {
        return leg && leg->nh && leg->ready && !leg->ended && !leg->clearing && !leg->join;
    };
    std::shared_ptr<SipLeg> a = find(firstId);
    std::shared_ptr<SipLeg> b = find(secondId);
    // Told after the second leg's earlier reports, before any later one.
    auto finish = [this, &b, &done](bool joined) {
        if (!done)
            return;
        auto task = [done, joined] { done(joined); };
        if (b)
            Report(b, task);
        else
            manager.Post(task);
    };
    if (a == b || !joinable(a) || !joinable(b)) {
        Log(Warning, "voip: legs ", firstId, " and ", secondId, " cannot be joined");
        finish(false);
        return;
    }
    std::shared_ptr<MediaStream> ma;
    std::shared_ptr<MediaStream> mb;
    {
        std::lock_guard<std::mutex> lock(a->mutex);
        ma = a->media;
    }
    {
        std::lock_guard<std::mutex> lock(b->mutex);
        mb = b->media;
    }
    if (!ma || !mb || !ma->Running() || !mb->Running()) {
        Log(Warning, "voip: legs ", firstId, " and ", secondId, " have no media to join");
        finish(false);
        return;
    }
    if (!relay) {
        relay = std::make_unique<RtpRelay>(localAddress, 0, 0);
        if (!relay->Start()) {
            relay.reset();
            Log(Error, "voip: the media relay does not start");
            finish(false);
            return;
        }
    }
    MediaHandover ha;
    MediaHandover hb;
    std::shared_ptr<RelayPort> pa;
    std::shared_ptr<RelayPort> pb;
    if (ma->Handover(ha))
        pa = relay->Adopt(ha.rtpFd, ha.rtcpFd);
    if (mb->Handover(hb))
        pb = relay->Adopt(hb.rtpFd, hb.rtcpFd);
    if (!pa || !pb) {
        // One side's media may be gone already: a call without it is worse than no call.
        Log(Error, "voip: legs ", firstId, " and ", secondId, " lost their media at the join");
        if (pa)
            relay->Close(pa);
        if (pb)
            relay->Close(pb);
        ClearLeg(a, CallEndReason::Unreachable);
        ClearLeg(b, CallEndReason::Unreachable);
        finish(false);
        return;
    }
    for (auto [relayPort, handover] : {std::pair{pa, &ha}, std::pair{pb, &hb}}) {
        const MediaParams& p = handover->params;
        relay->SetPeer(relayPort, p.remoteAddress, p.remotePort);
        relay->SetCodec(relayPort, RelayCodec{p.payloadType, p.sendEventPayloadType, p.recvEventPayloadType});
        if (handover->keyInProgress)
            relay->HoldBack(relayPort, handover->keySsrc, handover->keyTimestamp);
    }
    relay->Link(pa, pb);

    auto join = std::make_shared<SipJoin>();
    join->first = a;
    join->second = b;
    join->firstPort = pa;
    join->secondPort = pb;
    join->started = std::chrono::steady_clock::now();
    if (limit.count() > 0)
        join->deadline = join->started + limit;
    a->join = join;
    b->join = join;
    joins.push_back(join);
    if (!joinTicker)
        joinTicker = loop.Every(std::chrono::milliseconds(500), [this] { CheckJoins(); });
    Log(Informational, "voip: legs ", firstId, " and ", secondId, " joined");
    Tell(a, LegEvent::Joined);
    Tell(b, LegEvent::Joined);
    finish(true);
}

void SipStack::EndJoin(const std::shared_ptr<SipJoin>& join, const SipLeg* by, JoinEnd why)
{
    if (!join || join->over)
        return;
    join->over = true;
    relay->Close(join->firstPort);
    relay->Close(join->secondPort);
    joins.erase(std::remove(joins.begin(), joins.end(), join), joins.end());
    for (const auto& leg : {join->first, join->second}) {
        if (leg.get() == by || !leg->nh || leg->ended || leg->clearing)
            continue;
        leg->clearing = true;
        nua_bye(leg->nh, TAG_END());
    }
    const auto& told = by == join->second.get() ? join->second : join->first;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - join->started).count();
    Log(Informational, "voip: join of legs " + std::to_string(join->first->id) + " and " +
                           std::to_string(join->second->id),
        " ended after ", seconds, " s: ", JoinEndText(why));
    Tell(told, LegEvent::JoinEnded, 0, why);
}

void SipStack::CheckJoins()
{
    const auto now = std::chrono::steady_clock::now();
    const auto silence = std::chrono::milliseconds(mediaTimeoutMs.load());
    for (const auto& join : std::vector<std::shared_ptr<SipJoin>>(joins)) {
        if (join->deadline.time_since_epoch().count() != 0 && now >= join->deadline) {
            EndJoin(join, nullptr, JoinEnd::TimeLimit);
            continue;
        }
        auto heard = std::max({join->started, join->firstPort->LastHeard(), join->secondPort->LastHeard()});
        if (silence.count() > 0 && now - heard >= silence)
            EndJoin(join, nullptr, JoinEnd::MediaTimeout);
    }
}

// ---- the endpoint ----

void SipEndpoint::SetLineObserver(std::shared_ptr<LineLegObserver> observer)
{
    std::lock_guard<std::mutex> lock(stack_->mutex);
    stack_->observer = std::move(observer);
}

void SipEndpoint::SetDefaultLineObserver(std::shared_ptr<LineLegObserver> observer)
{
    std::lock_guard<std::mutex> lock(defaultObserverMutex);
    defaultObserver = std::move(observer);
}

void SipEndpoint::JoinLegs(uint64_t first, uint64_t second, std::chrono::milliseconds limit,
                           std::function<void(bool)> done)
{
    SipStack* stack = stack_.get();
    if (stack_->Post([stack, first, second, limit, done] { stack->Join(first, second, limit, done); }))
        return;
    Log(Warning, "voip: no stack to join legs ", first, " and ", second);
    if (done)
        GetManager().Post([done] { done(false); });
}

std::shared_ptr<LineLegObserver> SipEndpointDefaultObserver()
{
    std::lock_guard<std::mutex> lock(defaultObserverMutex);
    return defaultObserver;
}

} // namespace voip
