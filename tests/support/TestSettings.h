// The service's settings with its database access pointed at a Firebird server of the tests.
#pragma once

#include "service/core/CBSrvSettings.h"
#include "tests/support/TestDatabase.h"

inline CBSrvSettings TestSettings(const FbServerEnv& server)
{
    CBSrvSettings settings;
    settings.DriverName = QStringLiteral("QIBASE");
    settings.HostName = server.host;
    settings.DatabasePort = server.port;
    settings.UserName = server.user;
    settings.Password = server.password;
    return settings;
}
