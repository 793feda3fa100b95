// Selvane: the callback service, its own installer and its remote control.
#include "common/Firebird.h"
#include "common/Logging.h"
#include "platform/pbxcontrol/NorComComponent.h"
#include "service/core/CBSrvSettings.h"
#include "service/host/NorvelService.h"
#include "service/telephony/SipPbx.h"
#include "service/telephony/PlatformLogging.h"
#include "service/telephony/VoipLogging.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <string>

namespace {

void RegisterPbxComponent()
{
    CBSrvSettings settings;
    settings.LoadSettings(); // no file: the default component, and the service says what is missing
    if (settings.Component.isEmpty() || settings.Component == QLatin1String("norcom")) {
        RegisterNorComComponent();
        return;
    }
    if (settings.Component != QLatin1String("sip")) {
        // Nothing registered: the bridge reports that it cannot create the component, and stops.
        const std::string why = "Unknown PBX control component '" + settings.Component.toStdString() +
                                "' in [Norvel] Component: norcom or sip";
        // Before the service's log is where the settings put it: say it on the console too.
        std::fprintf(stderr, "%s\n", why.c_str());
        Log(Error, why);
        return;
    }
    dialplan::DialPlanConfig plan = dialplan::DefaultDialPlan();
    if (!settings.DialPlan.isEmpty()) {
        std::string error;
        if (!dialplan::LoadDialPlan(settings.DialPlan.toStdString(), plan, error)) {
            const std::string why = "The dial plan " + settings.DialPlan.toStdString() +
                                    " ([Norvel] DialPlan) cannot be read: " + error;
            std::fprintf(stderr, "%s\n", why.c_str());
            Log(Error, why);
            return;
        }
    }
    const auto maxTransfer = std::chrono::milliseconds(static_cast<long long>(settings.MaxTransferMinutes * 60000));
    RegisterSipPbxComponent(std::make_shared<SipPbx>(plan, maxTransfer));
    Log(Informational, "PBX control by SIP alone, dial plan ",
        settings.DialPlan.isEmpty() ? std::string("built in") : settings.DialPlan.toStdString());
}

} // namespace

int main(int argc, char** argv)
{
    CreateLogger();
    RouteVoipLogToFacility();
    RoutePlatformLogToFacility();
    QCoreApplication::setOrganizationName(QStringLiteral("Brint"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brint.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Selvane"));
    // The PBX control component is ours: make the configured one creatable by its class identifier
    // before anything asks, as an installer registers a component.
    RegisterPbxComponent();
    // A stop on SIGTERM (systemd's) still has its database for the callbacks' last rows.
    firebird::KeepAttachmentsOnSignals();

    auto service = std::make_unique<NorvelService>(argc, argv);
    const int result = service->exec();
    service.reset();
    // The last line: everything that logs has ended by now.
    Log(Notice, "Service stopped");
    return result;
}
