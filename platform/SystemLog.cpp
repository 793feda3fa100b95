// The system event log is syslog: one entry under the source's name, of the priority its type gives.
#include "platform/ServiceManager.h"

#include <syslog.h>

namespace platform {

void ReportEvent(const std::string& source, EventType type, const std::string& text)
{
    int priority = LOG_INFO;
    switch (type) {
    case EventType::Error:
        priority = LOG_ERR;
        break;
    case EventType::Warning:
        priority = LOG_WARNING;
        break;
    case EventType::Information:
    case EventType::Success:
        break;
    }
    // openlog keeps the identity pointer: it must outlive the entry, so the entry is written before it goes.
    const std::string identity = source;
    openlog(identity.c_str(), LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", text.c_str());
    closelog();
}

} // namespace platform
