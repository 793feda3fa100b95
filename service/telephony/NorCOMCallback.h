// The PBX bridge: creates the PBX control component, opens one PBX line per SIP registration, follows
// the lines' call states and offers the line services of the exchange to the rest of the service.
#pragma once

#include "service/core/CallBackLogic.h"
#include "service/core/INorCOMService.h"
#include "service/telephony/LineEventQueue.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class INorCOMEventsReceiver;

namespace NorvelComLib {
class NorCom;
}

class NorCOMCallback : public CallBackLogic, public INorCOMService
{
    Q_OBJECT

public:
    // Creates the component; when that fails, logs the reason, waits for one character on standard
    // input and asks the application to leave its event loop.
    NorCOMCallback();
    ~NorCOMCallback() override;

    // The bridge places no calls: its callback logic is disabled, and these are never reached.
    void PlayOGMIncommingSuccess(void*) override {}
    void PlayOGMIncommingQueueFull(void*) override {}
    void PlayOGMIncommingWrongCid(void*) override {}
    void PlayOGMEnterNumber(void*) override {}
    void PlayOGMEnterPin(void*) override {}
    void PlayOGMWrongPin(void*) override {}
    void PlayOGMWrongPinDisconnect(void*) override {}
    void PlayOGMTransferDenied(void*) override {}
    void MakeCallBack(const std::string&) override {}
    void TransferCall(const std::string&, void*) override {}
    bool HasFreeLines() override { return false; }

    // Connects to the exchange's control server and opens one PBX line per SIP registration.
    void Initialize() override;

    int GetCOS(const std::string& lineName) override;
    void SetCOS(const std::string& lineName, int cos) override;
    void ToDialable(std::string& number) override;
    std::string GetFreeSipLine() override;
    std::vector<std::string> GetFreeSipLines() override;

    // Set by the service object before Initialize; not owned.
    INorCOMEventsReceiver* eventsReceiver = nullptr;
    // Waits for the line event handlers running and runs no more: before the receiver goes.
    void StopLineEvents();
    // Ends the component's session with the exchange; its thread has ended (and logged its last) when
    // this returns. Later line services answer nothing.
    void EndExchangeSession();

    // The component, or null when its creation failed. Never deleted by the bridge.
    NorvelComLib::NorCom* component() const { return norcom; }

public slots:
    void OnCallStateChangedIntSlot(int line_id, int call_id, int call_state);

private:
    // Greatest id of an open SIP line of that name, or 0.
    int lineIdOf(const std::string& lineName) const;

    // Written by events and Initialize in the main thread, read by telephony threads: under linesMutex.
    std::map<int, std::string> sipLines;
    std::set<int> busySipLines;
    NorvelComLib::NorCom* norcom = nullptr;
    mutable std::mutex linesMutex;
    LineEventQueue lineEvents;
};
