#include "service/core/CBSrvSettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>

#include <algorithm>

std::string CBSrvSettings::GetApplicationDir() const
{
    return QCoreApplication::applicationDirPath().toLocal8Bit().toStdString();
}

std::vector<std::string> CBSrvSettings::GetTrustedPeers() const
{
    std::vector<std::string> peers;
    for (const QString& peer : TrustedPeers)
        peers.push_back(peer.toStdString());
    return peers;
}

bool CBSrvSettings::LoadSettings()
{
    QSettings settings(QSettings::IniFormat, QSettings::SystemScope, QStringLiteral("Brint"),
                       QStringLiteral("Selvane"));
    if (!QFile::exists(settings.fileName()))
        return false;

    auto text = [&](const char* key) { return settings.value(QLatin1String(key)).toString(); };
    // A value that is not a number reads as 0.
    auto number = [&](const char* key, int missing = 0) {
        return settings.value(QLatin1String(key), missing).toInt();
    };

    settings.beginGroup(QStringLiteral("Database"));
    DriverName = text("DriverName");
    DatabaseName = text("DatabaseName");
    UserName = text("UserName");
    Password = text("Password");
    HostName = text("HostName");
    DatabasePort = number("DatabasePort");
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Norvel"));
    Server = text("Server");
    Port = number("Port");
    Username = text("Username");
    NorvelPassword = text("Password");
    Component = settings.value(QStringLiteral("Component"), QStringLiteral("norcom")).toString().trimmed().toLower();
    DialPlan = text("DialPlan");
    settings.endGroup();

    settings.beginGroup(QStringLiteral("PBX"));
    dummyExtensions.clear();
    const int extensions = settings.beginReadArray(QStringLiteral("DummyExtensions"));
    for (int i = 0; i < extensions; ++i) {
        settings.setArrayIndex(i);
        dummyExtensions.push_back(text("DummyExtension").toStdString());
    }
    settings.endArray();
    ACDGroupName = text("ACDGroupName");
    LineAccessCode = text("LineAccessCode");
    EnterUserPINOGMNumber = number("EnterUserPINOGMNumber");
    AccessDeniedOGMNumber = number("AccessDeniedOGMNumber");
    WaitForCallOGMNumber = number("WaitForCallOGMNumber");
    WrongPINOGMNumber = number("WrongPINOGMNumber");
    QueueOverloadOGMNumber = number("QueueOverloadOGMNumber");
    EnterUserPINOGMNumberTimer = number("EnterUserPINOGMNumberTimer");
    AccessDeniedOGMNumberTimer = number("AccessDeniedOGMNumberTimer");
    WaitForCallOGMNumberTimer = number("WaitForCallOGMNumberTimer");
    WrongPINOGMNumberTimer = number("WrongPINOGMNumberTimer");
    QueueOverloadOGMNumberTimer = number("QueueOverloadOGMNumberTimer");
    settings.endGroup();

    settings.beginGroup(QStringLiteral("SIP"));
    sipRegistrations.clear();
    const int lines = settings.beginReadArray(QStringLiteral("sip_registrations"));
    for (int i = 0; i < lines; ++i) {
        settings.setArrayIndex(i);
        sipRegistrations.push_back(
            {text("login").toStdString(), text("password").toStdString(), text("server").toStdString()});
    }
    settings.endArray();
    LocalAddress = settings.value(QStringLiteral("LocalAddress"), QString()).toString();
    ListenAddress = settings.value(QStringLiteral("ListenAddress"), QString()).toString();
    // "a, b" reads as a list; one entry as a text; either way one entry per item.
    TrustedPeers.clear();
    for (const QString& item : settings.value(QStringLiteral("TrustedPeers")).toStringList())
        for (const QString& peer : item.split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!peer.trimmed().isEmpty())
                TrustedPeers << peer.trimmed();
    settings.endGroup();

    settings.beginGroup(QStringLiteral("CallBack"));
    MaxNumbersInQueue = number("MaxNumbersInQueue");
    MaxCallBackTries = number("MaxCallBackTries");
    DialTimer = number("DialTimer");
    EnterPinTimer = number("EnterPinTimer");
    EnterPinMaxTries = number("EnterPinMaxTries");
    EnterNumberTimer = number("EnterNumberTimer");
    CallBacksPerTick = std::max(0, number("CallBacksPerTick", 1));
    MaxTransferMinutes = std::max(0.0, settings.value(QStringLiteral("MaxTransferMinutes"), 0).toDouble());
    PinLockoutFailures = std::max(0, number("PinLockoutFailures"));
    PinLockoutWindow = std::max(0, number("PinLockoutWindow"));
    PinLockoutMinutes = std::max(0, number("PinLockoutMinutes"));
    PersistQueue = settings.value(QStringLiteral("PersistQueue"), false).toBool();
    LogOutgoing = settings.value(QStringLiteral("LogOutgoing"), false).toBool();
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Other"));
    LoggingLevel = number("LoggingLevel", 5);
    settings.endGroup();

    return settings.status() == QSettings::NoError && !settings.allKeys().isEmpty();
}
