// The platform components' lines (the PBX control component's among them) go to the service's
// logging facility.
#pragma once

#include "common/Logging.h"
#include "platform/Log.h"

inline void RoutePlatformLogToFacility()
{
    platform::SetLogHandler([](int severity, std::string_view message) { Log(severity, message); });
}
