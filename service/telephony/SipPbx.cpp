#include "service/telephony/SipPbx.h"

#include "common/Logging.h"
#include "platform/Automation.h"
#include "platform/pbxcontrol/ControlProtocol.h"
#include "voip/sip/SipEndpoint.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>

using voip::LegEvent;

SipPbx::SipPbx(const dialplan::DialPlanConfig& plan, std::chrono::milliseconds maxTransfer)
    : plan_(plan), maxTransfer_(maxTransfer)
{
    // The lines the dial plan names are known from the start, in its order.
    for (const auto& line : plan.lines)
        LineOf(line.first);
}

SipPbx::Line& SipPbx::LineOf(const std::string& name)
{
    auto it = ids_.find(name);
    if (it != ids_.end())
        return *lines_[it->second - 1];
    auto line = std::make_unique<Line>();
    line->id = static_cast<int>(lines_.size()) + 1;
    line->name = name;
    line->cos = plan_.LineCos(name);
    ids_[name] = line->id;
    lines_.push_back(std::move(line));
    return *lines_.back();
}

int SipPbx::OpenLine(const std::string& name)
{
    if (name.empty())
        return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = LineOf(name);
    line.opened = true;
    // As the exchange does right after an open: the line's state now.
    Report(line, 0, line.legs.empty() ? pbxcontrol::Idle : pbxcontrol::Connected);
    return line.id;
}

bool SipPbx::GetCos(int id, int& cos) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(lines_.size()))
        return false;
    cos = lines_[id - 1]->cos;
    return true;
}

bool SipPbx::SetCos(int id, int cos)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (id < 1 || id > static_cast<int>(lines_.size()) || cos < 0)
        return false;
    lines_[id - 1]->cos = cos;
    return true;
}

std::string SipPbx::ToDialable(const std::string& number) const
{
    return plan_.ToDialable(number);
}

void SipPbx::SetStateSink(StateSink sink)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = std::move(sink);
}

void SipPbx::Report(const Line& line, uint64_t call, int state)
{
    if (line.opened && sink_)
        sink_(line.id, static_cast<int>(call), state);
}

int SipPbx::AdmitOutgoing(const std::string& lineName, const std::string& destination)
{
    int cos = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cos = LineOf(lineName).cos;
    }
    const dialplan::RouteDecision route = plan_.Route(cos, destination);
    if (route.status != 403)
        return 0;
    Log(Notice, "Line " + lineName + ": call to " + destination + " refused: ", route.className,
        " numbers need more than class of service ", cos);
    return 403;
}

void SipPbx::OnLegReport(voip::SipEndpoint& endpoint, const voip::LegReport& report)
{
    uint64_t joinFirst = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Line& line = LineOf(report.line);
        const bool held = line.legs.count(report.leg) != 0;
        switch (report.event) {
        case LegEvent::Placed:
            line.legs.insert(report.leg);
            Report(line, report.leg, pbxcontrol::Dialing);
            break;
        case LegEvent::Offered:
            line.legs.insert(report.leg);
            Report(line, report.leg, pbxcontrol::Ringing);
            break;
        case LegEvent::Ringing:
            if (held)
                Report(line, report.leg, pbxcontrol::Ringing);
            break;
        case LegEvent::Answered:
            if (!held)
                break;
            // A second answered call placed from the line joins the first one's far party, and the
            // line reports it connected once joined: the service clears its legs when it hears that.
            if (report.incoming || line.answered.empty())
                Report(line, report.leg, pbxcontrol::Connected);
            if (report.incoming)
                break;
            if (!line.answered.empty()) {
                joinFirst = line.answered.front().first;
                joins_[joinFirst] = {line.name, line.answered.front().second, report.remote};
                joins_[report.leg] = joins_[joinFirst];
                line.answered.erase(line.answered.begin());
                // The line now holds the second call only, until the service clears its leg.
                line.legs.erase(joinFirst);
            } else {
                line.answered.emplace_back(report.leg, report.remote);
            }
            break;
        case LegEvent::Refused:
            if (held && (report.status == 486 || report.status == 600))
                Report(line, report.leg, pbxcontrol::Busy);
            break;
        case LegEvent::Hold:
        case LegEvent::Resumed:
            if (held)
                Report(line, report.leg, report.event == LegEvent::Hold ? pbxcontrol::Hold : pbxcontrol::Connected);
            break;
        case LegEvent::Released:
            line.answered.erase(std::remove_if(line.answered.begin(), line.answered.end(),
                                               [&](const auto& entry) { return entry.first == report.leg; }),
                                line.answered.end());
            // Idle only when the line holds no other leg of the service that is not joined.
            if (line.legs.erase(report.leg) != 0 && line.legs.empty())
                Report(line, report.leg, pbxcontrol::Idle);
            break;
        case LegEvent::Joined:
            break;
        case LegEvent::JoinEnded: {
            auto it = joins_.find(report.leg);
            if (it == joins_.end())
                break;
            const Join join = it->second;
            joins_.erase(report.leg);
            joins_.erase(report.partner);
            const std::string between = "Line " + join.line + ": the call between " + join.first + " and " + join.second;
            if (report.ended == voip::JoinEnd::TimeLimit)
                Log(Notice, between, " ended: MaxTransferMinutes reached");
            else
                Log(Informational, between, " ended");
            break;
        }
        }
    }
    if (joinFirst != 0) {
        Log(Informational, "Line " + report.line + ": joining legs ", joinFirst, " and ", report.leg,
            " (" + report.remote + ")");
        std::weak_ptr<SipPbx> self = weak_from_this();
        const std::string name = report.line;
        const uint64_t leg = report.leg;
        endpoint.JoinLegs(joinFirst, leg, maxTransfer_, [self, name, leg](bool) {
            if (auto pbx = self.lock()) {
                std::lock_guard<std::mutex> lock(pbx->mutex_);
                pbx->Report(pbx->LineOf(name), leg, pbxcontrol::Connected);
            }
        });
    }
}

// ---- the automation object ----

SipPbxComponent::SipPbxComponent(std::shared_ptr<SipPbx> pbx, QObject* parent) : QObject(parent), pbx_(std::move(pbx))
{
    QPointer<SipPbxComponent> self(this);
    pbx_->SetStateSink([self](int line, int call, int state) {
        // Emitted in this object's thread, as the exchange's client does.
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self, line, call, state] {
                    if (self)
                        emit self->CallStateChangedInt(line, call, state);
                },
                Qt::QueuedConnection);
    });
}

SipPbxComponent::~SipPbxComponent()
{
    pbx_->SetStateSink({});
}

bool SipPbxComponent::Connect(const QString&, const QString&, const QString&)
{
    return true;
}

bool SipPbxComponent::SetClientType(const QString& type)
{
    return type == QLatin1String(pbxcontrol::kCallbackClientType);
}

int SipPbxComponent::OpenLine(const QString& linename)
{
    return pbx_->OpenLine(linename.toStdString());
}

int SipPbxComponent::GetCOS(int line_id)
{
    int cos = 0;
    return pbx_->GetCos(line_id, cos) ? cos : 0;
}

bool SipPbxComponent::SetCOS(int line_id, int COS)
{
    return pbx_->SetCos(line_id, COS);
}

QString SipPbxComponent::ToDialable(const QString& phone_in)
{
    return QString::fromStdString(pbx_->ToDialable(phone_in.toStdString()));
}

void RegisterSipPbxComponent(std::shared_ptr<SipPbx> pbx)
{
    voip::SipEndpoint::SetDefaultLineObserver(pbx);
    ComponentRegistry::registerClass(QString::fromLatin1(pbxcontrol::kComponentClassId),
                                     [pbx] { return std::make_unique<SipPbxComponent>(pbx); });
}
