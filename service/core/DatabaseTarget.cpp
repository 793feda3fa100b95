#include "service/core/DatabaseTarget.h"

#include "common/Firebird.h"
#include "common/Schema.h"

#include <ibase.h>

#include <chrono>

bool ServerAnswersInTime(const DatabaseTarget& target, int timeoutSeconds, std::string& error)
{
    if (target.driver != QLatin1String("QIBASE") || target.host.isEmpty())
        return true;
    const std::string location =
        Schema::DatabaseLocation(target.host.toStdString(), target.port, target.database.toStdString());
    firebird::ParameterBlock dpb;
    dpb.Add(isc_dpb_user_name, target.user.toStdString())
        .Add(isc_dpb_password, target.password.toStdString())
        .AddInt(isc_dpb_connect_timeout, timeoutSeconds);

    ISC_STATUS_ARRAY status = {};
    isc_db_handle attachment = 0;
    const auto started = std::chrono::steady_clock::now();
    if (isc_attach_database(status, 0, location.c_str(), &attachment, dpb.Size(), dpb.Data()) == 0) {
        isc_detach_database(status, &attachment);
        return true;
    }
    const bool timedOut = std::chrono::steady_clock::now() - started >=
                          std::chrono::seconds(timeoutSeconds) - std::chrono::milliseconds(100);
    if (status[1] != isc_connect_reject && !timedOut)
        return true;
    error = firebird::StatusText(status);
    return false;
}
