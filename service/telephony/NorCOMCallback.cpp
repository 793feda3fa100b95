#include "service/telephony/NorCOMCallback.h"

#include "common/Logging.h"
#include "platform/Automation.h"
#include "platform/pbxcontrol/ControlProtocol.h"
#include "service/core/ICBSrvSettings.h"
#include "service/core/INorCOMEventsReceiver.h"
#include "service/telephony/NorCom.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <memory>

NorCOMCallback::NorCOMCallback()
{
    enabled = false;
    AxInitialize();
    auto created = std::make_unique<NorvelComLib::NorCom>();
    if (!created->isNull()) {
        // Lives until the process ends: telephony threads may still be calling it when the bridge goes.
        norcom = created.release();
        connect(norcom, &NorvelComLib::NorCom::CallStateChangedInt, this,
                &NorCOMCallback::OnCallStateChangedIntSlot);
        connect(norcom, &NorvelComLib::NorCom::SessionRestored, this, [this] {
            if (eventsReceiver)
                eventsReceiver->OnExchangeSessionRestored();
        });
    } else {
        Log(Error, "Can't create NorCOM instance. You have to reinstall NorCOM.");
        std::getchar();
        QCoreApplication::exit(0);
    }
}

NorCOMCallback::~NorCOMCallback()
{
    AxUninitialize();
}

void NorCOMCallback::Initialize()
{
    CallBackLogic::Initialize();
    if (!norcom)
        return;
    norcom->Connect(QString::fromStdString(config()->GetServer()),
                    QString::fromStdString(config()->GetUsername()),
                    QString::fromStdString(config()->GetNorvelPassword()));
    norcom->SetClientType(QString::fromLatin1(pbxcontrol::kCallbackClientType));

    for (const SipRegistration& registration : config()->GetSipRegistrations()) {
        const int id = norcom->OpenLine(QString::fromLatin1(registration.login.c_str()));
        if (id != 0) {
            std::lock_guard<std::mutex> lock(linesMutex);
            sipLines[id] = registration.login;
        } else {
            Log(Error, "NorCOM can't open sip line ", registration.login);
        }
    }
}

int NorCOMCallback::lineIdOf(const std::string& lineName) const
{
    std::lock_guard<std::mutex> lock(linesMutex);
    int found = 0;
    bool any = false;
    for (const auto& line : sipLines) {
        if (line.second == lineName) {
            found = line.first; // ascending ids: the last match is the greatest
            any = true;
        }
    }
    return any && found > 0 ? found : 0;
}

int NorCOMCallback::GetCOS(const std::string& lineName)
{
    if (!norcom)
        return 0;
    const int id = lineIdOf(lineName);
    if (id <= 0)
        return 0;
    return norcom->dynamicCall("GetCOS(int)", QVariantList{id}).toInt();
}

void NorCOMCallback::SetCOS(const std::string& lineName, int cos)
{
    if (!norcom)
        return;
    const int id = lineIdOf(lineName);
    if (id <= 0)
        return;
    norcom->dynamicCall("SetCOS(int,int)", QVariantList{id, cos});
}

void NorCOMCallback::ToDialable(std::string& number)
{
    if (!norcom)
        return;
    number = norcom->ToDialable(QString::fromLatin1(number.c_str())).toLatin1().toStdString();
}

std::string NorCOMCallback::GetFreeSipLine()
{
    std::string name;
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        auto free = sipLines.end();
        for (auto it = sipLines.begin(); it != sipLines.end(); ++it) {
            if (busySipLines.count(it->first) == 0) {
                free = it;
                break;
            }
        }
        if (free == sipLines.end())
            return std::string();
        name = free->second;
    }
    if (name.empty())
        Log(Warning, "NorCOM GetFreeSipLine returned empty line number ", name);
    return name;
}

std::vector<std::string> NorCOMCallback::GetFreeSipLines()
{
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lock(linesMutex);
    for (const auto& [id, name] : sipLines)
        if (busySipLines.count(id) == 0 && !name.empty() &&
            std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    return names;
}

void NorCOMCallback::OnCallStateChangedIntSlot(int line_id, int call_id, int call_state)
{
    std::string name;
    {
        std::lock_guard<std::mutex> lock(linesMutex);
        auto it = sipLines.find(line_id);
        if (it != sipLines.end())
            name = it->second;
        if (name.empty())
            return;
        if (call_state != NorvelComLib::NorCom::state_idle)
            busySipLines.insert(line_id);
        else
            busySipLines.erase(line_id);
    }
    // Outside the lock: the receiver may ask for a free line or a class of service at once. Its
    // handlers may wait over a second, so they run on the line's own worker, in the events' order.
    INorCOMEventsReceiver* receiver = eventsReceiver;
    if (!receiver)
        return;
    if (call_state == NorvelComLib::NorCom::state_idle)
        lineEvents.Post(name, "idle", [receiver, name] { receiver->OnSIPCallDisconnected(name); });
    else if (call_state == NorvelComLib::NorCom::state_connected)
        lineEvents.Post(name, "connected", [receiver, name] { receiver->OnSIPCallConnected(name); });
}

void NorCOMCallback::StopLineEvents()
{
    lineEvents.Stop();
}

void NorCOMCallback::EndExchangeSession()
{
    if (norcom)
        norcom->Disconnect();
}
