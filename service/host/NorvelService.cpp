#include "service/host/NorvelService.h"

#include "common/Logging.h"
#include "service/core/CallBackQueue.h"
#include "service/telephony/NorCOMCallback.h"

#include <cstdlib>
#include <memory>

namespace {

// The queue and the bridge outlive the service object: the call manager, destroyed with the service
// object, still reports ended calls into the queue while it shuts the telephony down, and telephony
// threads may still ask the bridge for lines until then. Nothing of theirs runs after the service
// object: its destructor ends their line events and the component's session, and without the
// main thread's event loop nothing else calls them.
std::unique_ptr<CallBackQueue>& QueueOwner()
{
    static std::unique_ptr<CallBackQueue> queue;
    return queue;
}

std::unique_ptr<NorCOMCallback>& BridgeOwner()
{
    static std::unique_ptr<NorCOMCallback> bridge;
    return bridge;
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

    BridgeOwner() = std::make_unique<NorCOMCallback>();
    m_bridge = BridgeOwner().get();
    m_bridge->SetSettings(&m_settings);
    m_bridge->eventsReceiver = &m_manager;
    m_bridge->SetDBBackend(&m_db);
    m_bridge->SetNorCOMService(m_bridge);
    m_bridge->SetCallBackQueue(m_queue);

    m_manager.SetSettings(&m_settings);
    m_manager.SetDBBackend(&m_db);
    m_manager.SetNorCOMService(m_bridge);
    m_manager.SetCallBackQueue(m_queue);

    m_journal.SetSettings(&m_settings);
    m_journal.SetQueue(m_queue);
    m_queue->SetJournal(&m_journal);
    m_manager.SetJournal(&m_journal);

    Log(Debug, "NorvelService::NorvelService created");
}

NorvelService::~NorvelService()
{
    // The bridge outlives this object, so it must stop handing line events to the manager first. The
    // telephony's shut-down clears the calls still up and reports them ended through the queue, the
    // database access and the bridge's line services: all still there.
    m_bridge->eventsReceiver = nullptr;
    m_bridge->StopLineEvents();
    // Callbacks still under way now end because of the stop.
    m_journal.Stopping();
    m_manager.StopCallBacks();
    m_manager.ShutDownEndpoints();
    // The queue outlives the journal; its last changes were written through above.
    m_queue->SetJournal(nullptr);
    m_manager.SetJournal(nullptr);
    // The component's reader thread logs: it ends here, not after main, when the log is gone.
    m_bridge->EndExchangeSession();
    Log(Debug, "NorvelService::~NorvelService telephony stopped");
}

void NorvelService::start()
{
    SetLogFile(m_settings.GetApplicationDir() + "/log.txt");
    SetLogSeverity(m_settings.LoggingLevel);
    m_db.OpenDatabase(); // opens or creates it; a failure is only logged and the service starts all the same
    // The queue is read back before the first tick can take a number from it.
    m_journal.Start();
    m_bridge->Initialize();
    m_manager.Initialize();
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
