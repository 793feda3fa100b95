#include "voip/sip/SipStack.h"

#include "voip/core/Address.h"
#include "voip/core/Manager.h"
#include "voip/sip/Sdp.h"

#include "voip/core/Log.h"

namespace voip {

SipConnection::SipConnection(SipEndpoint& endpoint, Call& call, const std::string& token,
                             const std::string& address, unsigned options, const StringOptions& stringOptions)
    : Connection(call, endpoint, token, address, options, stringOptions), sipEndpoint_(endpoint)
{
}

SipConnection::~SipConnection() = default;

namespace {
std::string OptionOr(const StringOptions& options, const char* first, const char* second)
{
    auto it = options.find(first);
    if (it != options.end() && !it->second.empty())
        return it->second;
    it = options.find(second);
    return it == options.end() ? std::string() : it->second;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
        if (c != '"' && c != '\\' && c != '\r' && c != '\n')
            out += c;
    return out + "\"";
}

} // namespace

void SipConnection::WireMedia(MediaStream& media)
{
    // Keys go to the other party; silence clears the call. Both arrive on the media's event thread.
    std::weak_ptr<SipConnection> weak = std::static_pointer_cast<SipConnection>(shared_from_this());
    media.onDigit = [weak](char key) {
        if (auto c = weak.lock())
            c->DeliverUserInput(std::string(1, key));
    };
    Manager& manager = GetManager();
    media.onTimeout = [weak, &manager] {
        if (auto c = weak.lock()) {
            Log(Informational, "voip: no RTP from ", c->GetRemotePartyAddress(), ", clearing ", c->GetToken());
            manager.Post([c] { c->Release(CallEndReason::MediaTimeout); });
        }
    };
}

bool SipConnection::SetUpConnection()
{
    SipStack& stack = *sipEndpoint_.stack_;
    StringOptions options = GetStringOptions();
    std::string user = OptionOr(options, kCallingPartyNumber, kCallingPartyName);
    std::string display = OptionOr(options, kCallingDisplayName, kCallingPartyName);
    auto line = stack.FindLine(user);

    std::string target = GetAddress();
    if (target.find('@') == std::string::npos) {
        // No host: the server of the line the call goes out on.
        if (!line) {
            Log(Warning, "voip: no line ", user, " to send ", target, " to");
            return false;
        }
        target += "@" + line->registrar;
    }
    std::string fromAddress = line ? line->aor
                                   : "sip:" + (user.empty() ? std::string("voip") : user) + "@" +
                                         stack.localAddress + ":" + std::to_string(stack.port);
    std::string from = (display.empty() ? std::string() : Quoted(display) + " ") + "<" + fromAddress + ">";
    std::string to = "<" + target + ">";
    std::string route = line && !line->proxy.empty() && line->proxy != line->registrar
                            ? "<sip:" + line->proxy + ";lr>"
                            : std::string();
    SetLocalPartyAddress(fromAddress);
    SetRemotePartyAddress(target);

    auto leg = std::make_shared<SipLeg>();
    auto self = std::static_pointer_cast<SipConnection>(shared_from_this());
    leg->connection = self;
    if (line) {
        leg->authUser = line->authUser;
        leg->password = line->password;
    }
    if (line) {
        leg->line = line->line;
        leg->remoteUser = UserPartOf(target);
    }
    leg_ = leg;
    std::string contactUser = user.empty() ? std::string("voip") : user;
    SipStack* s = &stack;
    return stack.Post([s, leg, self, from, to, route, contactUser] {
        if (self->IsReleased())
            return;
        if (!leg->line.empty()) {
            // Whoever keeps the line's class of service may refuse the call before it leaves.
            auto observer = s->Observer();
            if (int status = observer ? observer->AdmitOutgoing(leg->line, leg->remoteUser) : 0) {
                self->SetEndStatus(status);
                s->Report(leg, [self, status] { self->Release(SipStack::ReasonOfStatus(status)); });
                return;
            }
        }
        auto media = s->endpoint.Media().CreateStream(s->localAddress);
        if (!media) {
            s->manager.Post([self] { self->Release(CallEndReason::Unreachable); });
            return;
        }
        self->WireMedia(*media);
        {
            std::lock_guard<std::mutex> lock(leg->mutex);
            leg->media = media;
        }
        leg->nh = nua_handle(s->loop.Nua(), leg.get(), SIPTAG_TO_STR(to.c_str()), SIPTAG_FROM_STR(from.c_str()), TAG_END());
        s->handles[leg.get()] = leg;
        std::string sdp = MakeSdp(s->localAddress, media->LocalPort());
        nua_invite(leg->nh, NUTAG_M_USERNAME(contactUser.c_str()), SOATAG_USER_SDP_STR(sdp.c_str()),
                   SOATAG_RTP_SELECT(SOA_RTP_SELECT_COMMON), SOATAG_AUDIO_AUX("telephone-event"),
                   SOATAG_ADDRESS(s->localAddress.c_str()),
                   TAG_IF(!route.empty(), NUTAG_INITIAL_ROUTE_STR(route.c_str())), TAG_END());
        s->legIds[leg->id] = leg;
        s->Tell(leg, LegEvent::Placed);
    });
}

void SipConnection::AlertCall()
{
    auto leg = leg_;
    if (!leg)
        return;
    sipEndpoint_.stack_->Post([leg] {
        if (leg->nh && leg->incoming && !leg->answered && !leg->clearing)
            nua_respond(leg->nh, SIP_180_RINGING, TAG_END());
    });
}

void SipConnection::AnswerCall()
{
    auto leg = leg_;
    if (!leg)
        return;
    SipStack* s = sipEndpoint_.stack_.get();
    auto self = std::static_pointer_cast<SipConnection>(shared_from_this());
    s->Post([s, leg, self] {
        if (!leg->nh || leg->clearing || leg->answered)
            return;
        auto media = s->endpoint.Media().CreateStream(s->localAddress);
        if (!media) {
            leg->clearing = true;
            nua_respond(leg->nh, SIP_503_SERVICE_UNAVAILABLE, TAG_END());
            return;
        }
        self->WireMedia(*media);
        {
            std::lock_guard<std::mutex> lock(leg->mutex);
            leg->media = media;
        }
        leg->answered = true;
        std::string sdp = MakeSdp(s->localAddress, media->LocalPort());
        nua_respond(leg->nh, SIP_200_OK, SOATAG_USER_SDP_STR(sdp.c_str()), SOATAG_RTP_SELECT(SOA_RTP_SELECT_COMMON),
                    SOATAG_AUDIO_AUX("telephone-event"), SOATAG_ADDRESS(s->localAddress.c_str()), TAG_END());
    });
}

void SipConnection::OnClearing(CallEndReason reason)
{
    auto leg = leg_;
    if (!leg)
        return;
    SipStack* s = sipEndpoint_.stack_.get();
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        if (leg->media)
            leg->media->Stop();
    }
    s->Post([s, leg, reason] { s->ClearLeg(leg, reason); });
}

bool SipConnection::TransferConnection(const std::string& destination)
{
    auto leg = leg_;
    if (!leg || IsReleased())
        return false;
    return sipEndpoint_.stack_->Post([leg, destination] {
        if (leg->nh && leg->ready && !leg->clearing)
            nua_refer(leg->nh, SIPTAG_REFER_TO_STR(destination.c_str()), TAG_END());
    });
}

void SipConnection::OnTransferAnswered(int status, const std::string& phrase)
{
    Log(status < 300 ? Informational : Warning, "voip: transfer of ", GetToken(), " answered ",
        std::to_string(status) + " " + phrase);
}

void SipConnection::OnTransferProgress(int status, const std::string& phrase)
{
    Log(Informational, "voip: transfer of ", GetToken(), ": ", std::to_string(status) + " " + phrase);
}

bool SipConnection::SendUserInputString(const std::string& value)
{
    auto leg = leg_;
    if (!leg || IsReleased())
        return false;
    std::shared_ptr<MediaStream> media;
    {
        std::lock_guard<std::mutex> lock(leg->mutex);
        media = leg->media;
    }
    if (media && media->SendDigits(value))
        return true;
    return sipEndpoint_.stack_->Post([leg, value] {
        for (char key : value) {
            if (!leg->nh || !leg->ready || KeyEvent(key) < 0)
                continue;
            std::string body = std::string("Signal=") + key + "\r\nDuration=160\r\n";
            nua_info(leg->nh, SIPTAG_CONTENT_TYPE_STR("application/dtmf-relay"), SIPTAG_PAYLOAD_STR(body.c_str()),
                     TAG_END());
        }
    });
}

uint64_t SipConnection::GetPacketsSent() const
{
    auto leg = leg_;
    if (!leg)
        return 0;
    std::lock_guard<std::mutex> lock(leg->mutex);
    return leg->media ? leg->media->PacketsSent() : 0;
}

uint64_t SipConnection::GetPacketsReceived() const
{
    auto leg = leg_;
    if (!leg)
        return 0;
    std::lock_guard<std::mutex> lock(leg->mutex);
    return leg->media ? leg->media->PacketsReceived() : 0;
}

} // namespace voip
