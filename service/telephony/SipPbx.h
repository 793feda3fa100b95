// The PBX control component for an exchange that speaks nothing but SIP: the lines are followed from
// the service's own SIP legs, their classes of service are kept here, and a callback is joined with its
// transfer call by the service itself, as the exchange's control server would have them.
//
// SipPbx is the state, shared by every SipPbxComponent (the automation object the bridge creates by
// class identifier) and watching the SIP endpoints as their line observer.
#pragma once

#include "platform/dialplan/DialPlan.h"
#include "voip/sip/LineLegs.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class SipPbx : public voip::LineLegObserver, public std::enable_shared_from_this<SipPbx>
{
public:
    // maxTransfer: a joined conversation is ended after this long; zero: never.
    SipPbx(const dialplan::DialPlanConfig& plan, std::chrono::milliseconds maxTransfer);

    // A stable id (> 0) for the line's name, given in the order lines are first named; 0 for no name.
    int OpenLine(const std::string& name);
    // False for an id never given.
    bool GetCos(int line, int& cos) const;
    bool SetCos(int line, int cos);
    std::string ToDialable(const std::string& number) const;

    // Where line states go: (line id, call id, state) as the control protocol numbers them. Called
    // under the component's lock, so it must only hand them on.
    using StateSink = std::function<void(int, int, int)>;
    void SetStateSink(StateSink sink);

    void OnLegReport(voip::SipEndpoint& endpoint, const voip::LegReport& report) override;
    int AdmitOutgoing(const std::string& line, const std::string& destination) override;

private:
    struct Line
    {
        int id = 0;
        std::string name;
        int cos = 0;
        bool opened = false;
        // Legs of the service on the line that count for its state: not handed to a join.
        std::set<uint64_t> legs;
        // Calls placed from the line and answered, not joined: what a second answered call joins.
        std::vector<std::pair<uint64_t, std::string>> answered; // leg, far number
    };
    struct Join
    {
        std::string line;
        std::string first;  // the far parties' numbers
        std::string second;
    };
    // Caller holds mutex_.
    Line& LineOf(const std::string& name);
    void Report(const Line& line, uint64_t call, int state);

    const dialplan::DialPlan plan_;
    const std::chrono::milliseconds maxTransfer_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Line>> lines_; // index = id - 1
    std::map<std::string, int> ids_;
    std::map<uint64_t, Join> joins_; // by either leg
    StateSink sink_;
};

class SipPbxComponent : public QObject
{
    Q_OBJECT

public:
    explicit SipPbxComponent(std::shared_ptr<SipPbx> pbx, QObject* parent = nullptr);
    ~SipPbxComponent() override;

    // There is no control server: nothing to connect to, and the session never ends.
    Q_INVOKABLE bool Connect(const QString& server, const QString& username, const QString& password);
    Q_INVOKABLE void Disconnect() {}
    Q_INVOKABLE bool SetClientType(const QString& type);
    Q_INVOKABLE int OpenLine(const QString& linename);
    Q_INVOKABLE int GetCOS(int line_id);
    Q_INVOKABLE bool SetCOS(int line_id, int COS);
    Q_INVOKABLE QString ToDialable(const QString& phone_in);

signals:
    void CallStateChangedInt(int line_id, int call_id, int call_state);
    void SessionRestored();

private:
    std::shared_ptr<SipPbx> pbx_;
};

// Makes the SIP-only component the one behind the PBX control class identifier and the observer of
// every SIP endpoint made from now on.
void RegisterSipPbxComponent(std::shared_ptr<SipPbx> pbx);
