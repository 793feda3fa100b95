// A service of the smallest kind for the manager's tests: it records every control it receives in the
// file named by PROBE_LOG and stops on the stop control.
#include "platform/ServiceManager.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

platform::ServiceStatusHandle g_handle = 0;
platform::ServiceStatus g_status;

void Record(const std::string& line)
{
    if (std::FILE* f = std::fopen(std::getenv("PROBE_LOG"), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

void Handler(unsigned control)
{
    Record("control " + std::to_string(control));
    if (control == platform::ControlStop) {
        g_status.state = platform::ServiceState::Stopped;
        platform::SetServiceStatus(g_handle, g_status);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string name = argc > 1 ? argv[1] : "probe";
    const auto result =
        platform::StartServiceCtrlDispatcher(name, [&name](const std::vector<std::string>& args) {
            std::string line = "main";
            for (const auto& a : args)
                line += " " + a;
            Record(line);
            g_handle = platform::RegisterServiceCtrlHandler(name, &Handler);
            g_status.state = platform::ServiceState::Running;
            g_status.controlsAccepted = platform::AcceptStop;
            platform::SetServiceStatus(g_handle, g_status);
        });
    Record(result == platform::DispatchResult::NotStartedByManager ? "console" : "finished");
    return result == platform::DispatchResult::Finished ? 0 : 3;
}
