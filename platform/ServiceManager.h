// The service control manager of this system on Linux: a registry of installed services, a launcher that
// starts them as detached daemons, and a control channel (a local socket per running service).
//
// Failures return false (or an empty result) and leave an errno value behind, so callers can report the
// system's text for it: ENOENT not installed, EEXIST already installed, ESRCH not running, EALREADY already
// running, EBUSY the service cannot take a control now, EPERM control refused, ETIMEDOUT no answer.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// Locations; each is overridable through the environment variable named beside it.
std::string RegistryPath();   // SELVANE_SERVICE_REGISTRY, default /etc/selvane/services.ini
std::string RuntimeDir();     // SELVANE_RUNTIME_DIR, default /run/selvane
std::string SystemdUnitDir(); // SELVANE_SYSTEMD_UNIT_DIR, default /etc/systemd/system

// The running program's full path (from /proc/self/exe).
std::string ProgramPath();

enum class ServiceState : int
{
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

enum ServiceControl : unsigned
{
    ControlStop = 1,
    ControlPause = 2,
    ControlContinue = 3,
    ControlInterrogate = 4,
    ControlShutdown = 5,
    // 128 to 255: user-defined controls
};

enum AcceptedControl : unsigned
{
    AcceptStop = 0x1,
    AcceptPauseContinue = 0x2,
    AcceptShutdown = 0x4,
};

enum ServiceType : unsigned
{
    ServiceOwnProcess = 0x10,
    ServiceInteractiveProcess = 0x100,
};

enum class StartType
{
    Auto,
    Demand,
    Disabled
};

struct ServiceStatus
{
    unsigned serviceType = ServiceOwnProcess;
    ServiceState state = ServiceState::Stopped;
    unsigned controlsAccepted = 0;
    int exitCode = 0;
    pid_t processId = 0; // 0 while stopped
};

struct ServiceConfig
{
    std::string name;
    std::string displayName;
    std::string programPath;
    std::string description;
    std::string account; // empty: the manager's own account
    bool hasPassword = false;
    StartType startType = StartType::Demand;
    unsigned serviceType = ServiceOwnProcess;
};

// --- The registry -----------------------------------------------------------------------------------

bool IsServiceInstalled(const std::string& name);
// Records the service and, where the systemd unit folder exists, writes a unit running the program with -e.
// The password is only noted as given: the manager switches accounts without one, and a world-readable
// registry is no place for it.
bool CreateService(const ServiceConfig& config, const std::string& password);
bool SetServiceDescription(const std::string& name, const std::string& description);
// A service that runs is only marked for deletion: it stays installed and controllable (status, stop) and
// its entry and unit go when it stops. Meanwhile a new install of the name fails with EEXIST, a second
// deletion with EALREADY.
bool DeleteService(const std::string& name);
std::optional<ServiceConfig> QueryServiceConfig(const std::string& name);
// The unit's file name for a service name: "Callback Server" -> "callback-server.service".
std::string SystemdUnitName(const std::string& name);

// --- Controlling a service from outside -------------------------------------------------------------

// An installed service that does not answer on its socket is stopped; a service that is not installed fails.
bool QueryServiceStatus(const std::string& name, ServiceStatus* status);
// Launches the registered program as a daemon with the given arguments and waits (up to 30 s) until it
// has connected its dispatcher.
bool StartService(const std::string& name, const std::vector<std::string>& args);
// Delivers one control (1 to 5, 128 to 255) and waits for the service's handler to return.
bool ControlService(const std::string& name, unsigned control, ServiceStatus* status = nullptr);

// --- The service's side -----------------------------------------------------------------------------

enum class DispatchResult
{
    Finished,            // the service ran and reported itself stopped
    NotStartedByManager, // no manager's marker: the program was started from a console
    Failed,              // errno tells why
};

// Runs the service's control channel in the calling thread until the service reports Stopped. The service
// main function runs on a thread of its own with the service name followed by the start arguments.
DispatchResult StartServiceCtrlDispatcher(const std::string& name,
                                          std::function<void(const std::vector<std::string>&)> serviceMain);

using ControlHandler = void (*)(unsigned control);
using ServiceStatusHandle = int; // 0 is no handle

// Controls reach the handler, one at a time on a thread of the dispatcher, once it is registered.
ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& name, ControlHandler handler);
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// --- The system event log ---------------------------------------------------------------------------

enum class EventType
{
    Error,
    Warning,
    Information,
    Success
};
void ReportEvent(const std::string& source, EventType type, const std::string& text);

} // namespace platform
