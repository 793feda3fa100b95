// The service's whole configuration, loaded once from its system-scope INI file.
#pragma once

#include "service/core/ICBSrvSettings.h"

#include <QString>
#include <QStringList>

#include <vector>

class CBSrvSettings final : public ICBSrvSettings
{
public:
    // True when the file exists, reads without error and holds at least one key.
    bool LoadSettings();

    const std::vector<SipRegistration>& GetSipRegistrations() const override { return sipRegistrations; }
    const std::vector<std::string>& GetDummyExtensions() const override { return dummyExtensions; }
    std::string GetLocalAddress() const override { return LocalAddress.toStdString(); }
    int GetMaxNumbersInQueue() const override { return MaxNumbersInQueue; }
    int GetMaxCallBackTries() const override { return MaxCallBackTries; }
    int GetDialTimer() const override { return DialTimer; }
    int GetEnterPinTimer() const override { return EnterPinTimer; }
    int GetEnterPinMaxTries() const override { return EnterPinMaxTries; }
    int GetEnterNumberTimer() const override { return EnterNumberTimer; }
    std::string GetApplicationDir() const override;
    std::string GetACDGroupName() const override { return ACDGroupName.toStdString(); }
    std::string GetListenAddress() const override { return ListenAddress.toStdString(); }
    std::string GetServer() const override { return Server.toStdString(); }
    std::string GetUsername() const override { return Username.toStdString(); }
    std::string GetNorvelPassword() const override { return NorvelPassword.toStdString(); }
    int GetCallBacksPerTick() const override { return CallBacksPerTick; }
    int GetPinLockoutFailures() const override { return PinLockoutFailures; }
    int GetPinLockoutWindow() const override { return PinLockoutWindow; }
    int GetPinLockoutMinutes() const override { return PinLockoutMinutes; }
    std::vector<std::string> GetTrustedPeers() const override;

    // Database
    QString DriverName;
    QString DatabaseName;
    QString UserName;
    QString Password;
    QString HostName;
    int DatabasePort = 0;
    // PBX control server ("Norvel" group)
    QString Server;
    int Port = 0;
    QString Username;
    QString NorvelPassword;
    // Which PBX control component: "norcom" (missing: the control server's client) or "sip" (the
    // SIP-only one, which reads its dial plan from DialPlan; missing: the built-in plan).
    QString Component;
    QString DialPlan;
    // PBX
    QString ACDGroupName;
    QString LineAccessCode;
    int EnterUserPINOGMNumber = 0;
    int AccessDeniedOGMNumber = 0;
    int WaitForCallOGMNumber = 0;
    int WrongPINOGMNumber = 0;
    int QueueOverloadOGMNumber = 0;
    int EnterUserPINOGMNumberTimer = 0;
    int AccessDeniedOGMNumberTimer = 0;
    int WaitForCallOGMNumberTimer = 0;
    int WrongPINOGMNumberTimer = 0;
    int QueueOverloadOGMNumberTimer = 0;
    // Other
    int LoggingLevel = 0;
    // CallBack
    int MaxNumbersInQueue = 0;
    int MaxCallBackTries = 0;
    int DialTimer = 0;
    int EnterPinTimer = 0;
    int EnterPinMaxTries = 0;
    int EnterNumberTimer = 0;
    // Missing: 1, one number a tick as always.
    int CallBacksPerTick = 1;
    // The SIP-only component ends a joined conversation after this long; 0 or missing: never.
    double MaxTransferMinutes = 0;
    // Missing: 0, no lockout.
    int PinLockoutFailures = 0;
    int PinLockoutWindow = 0;
    int PinLockoutMinutes = 0;
    // Missing: off, as before. The queue written to QUEUE and read back at start.
    bool PersistQueue = false;
    // Missing: off. One OUTGOINGLOG row per callback attempt.
    bool LogOutgoing = false;
    // SIP
    std::vector<SipRegistration> sipRegistrations;
    std::vector<std::string> dummyExtensions;
    QString LocalAddress;
    // "host[:port]" the SIP listener binds; empty: every interface on 5060.
    QString ListenAddress;
    // "host[:port]" entries that may start calls besides the lines' servers.
    QStringList TrustedPeers;
};
