// The voip library's lines go to the service's logging facility, filtered by its severity ceiling.
#pragma once

#include "common/Logging.h"
#include "voip/core/Log.h"

inline void RouteVoipLogToFacility()
{
    voip::SetLogHandler([](int severity, std::string_view message) { Log(severity, message); },
                        [](int severity) { return LogEnabled(severity); });
}
