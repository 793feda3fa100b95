// The automation wrapper of the PBX control component, in the form a type-library generator writes it:
// bound to the component's class identifier, its events as signals, its methods as typed calls.
#pragma once

#include "platform/Automation.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <QString>
#include <QVariant>

namespace NorvelComLib {

class NorCom : public AxObject
{
    Q_OBJECT
    Q_CLASSINFO("Event Interface 1", "_INorComEvents")
    Q_CLASSINFO("Interface 0", "INorCom")

public:
    static constexpr const char* kClassId = pbxcontrol::kComponentClassId;

    enum CallState {
        state_idle = pbxcontrol::Idle,
        state_connected = pbxcontrol::Connected,
        state_ringing = pbxcontrol::Ringing,
        state_dialing = pbxcontrol::Dialing,
        state_busy = pbxcontrol::Busy,
        state_hold = pbxcontrol::Hold,
    };
    Q_ENUM(CallState)

    explicit NorCom(QObject* parent = nullptr) : AxObject(QString::fromLatin1(kClassId), parent) {}

    inline void Connect(const QString& server, const QString& username, const QString& password);
    inline void Disconnect();
    inline void SetClientType(const QString& type);
    inline int OpenLine(const QString& linename);
    inline int GetCOS(int line_id);
    inline void SetCOS(int line_id, int COS);
    inline QString ToDialable(const QString& phone_in);

signals:
    void CallStateChangedInt(int line_id, int call_id, int call_state);
    void SessionRestored();
};

inline void NorCom::Connect(const QString& server, const QString& username, const QString& password)
{
    dynamicCall("Connect(QString,QString,QString)", QVariantList{server, username, password});
}

inline void NorCom::Disconnect()
{
    dynamicCall("Disconnect()");
}

inline void NorCom::SetClientType(const QString& type)
{
    dynamicCall("SetClientType(QString)", QVariantList{type});
}

inline int NorCom::OpenLine(const QString& linename)
{
    return dynamicCall("OpenLine(QString)", QVariantList{linename}).toInt();
}

inline int NorCom::GetCOS(int line_id)
{
    return dynamicCall("GetCOS(int)", QVariantList{line_id}).toInt();
}

inline void NorCom::SetCOS(int line_id, int COS)
{
    dynamicCall("SetCOS(int,int)", QVariantList{line_id, COS});
}

inline QString NorCom::ToDialable(const QString& phone_in)
{
    return dynamicCall("ToDialable(QString)", QVariantList{phone_in}).toString();
}

} // namespace NorvelComLib
