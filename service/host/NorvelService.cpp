#include "service/host/NorvelService.h"

#include "common/Logging.h"
#include "service/core/CallBackQueue.h"

#include <cstdlib>
#include <memory>

namespace {

// The queue outlives the service object: the call manager, destroyed with the service object, may still
// report ended calls into it while it shuts the telephony down.
std::unique_ptr<CallBackQueue>& QueueOwner()
{
    static std::unique_ptr<CallBackQueue> queue;
    return queue;
}

} // namespace

NorvelService::NorvelService(int argc, char** argv)
    : QObject(), QtService<QCoreApplication>(argc, argv, QStringLiteral("Callback Server"))
{
    Log(Debug, "NorvelService::NorvelService");
    setServiceDescription(QStringLiteral("Norvel CallBack Server"));
    setServiceFlags(QtServiceBase::CanBeSuspended);

    if (!m_settings.LoadSettings())
        std::exit(-1);

    QueueOwner() = std::make_unique<CallBackQueue>();
    m_queue = QueueOwner().get();
    m_queue->SetSettings(&m_settings);
    m_db.SetSettings(&m_settings);

    // The PBX bridge is created and wired here (settings, events receiver, database access, line
    // service, queue) once the telephony lands.

    // The call manager's callback logic is wired here with the same settings, database access, the
    // bridge's line service and the queue, in that order.

    Log(Debug, "NorvelService::NorvelService created");
}

NorvelService::~NorvelService() = default;

void NorvelService::start()
{
    SetLogFile(m_settings.GetApplicationDir() + "/log.txt");
    SetLogSeverity(m_settings.LoggingLevel);
    m_db.OpenDatabase(); // opens or creates it; a failure is only logged and the service starts all the same
    // Initialize the PBX bridge here: connect to the exchange and open the PBX lines.
    // Initialize the call manager's callback logic here: SIP and IVR endpoints, the queue timer.
    Log(Notice, "Service started");
}

// Calls and timers go on while paused; database operations meanwhile try to reopen the connection.
void NorvelService::pause()
{
    m_db.CloseDatabase();
}

void NorvelService::resume()
{
    m_db.OpenDatabase();
}
