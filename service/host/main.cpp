// Selvane: the callback service, its own installer and its remote control.
#include "common/Logging.h"
#include "platform/pbxcontrol/NorComComponent.h"
#include "service/host/NorvelService.h"
#include "service/telephony/PlatformLogging.h"
#include "service/telephony/VoipLogging.h"

#include <QCoreApplication>

#include <memory>

int main(int argc, char** argv)
{
    CreateLogger();
    RouteVoipLogToFacility();
    RoutePlatformLogToFacility();
    // The PBX control component is ours: make it creatable by its class identifier before anything asks.
    RegisterNorComComponent();
    QCoreApplication::setOrganizationName(QStringLiteral("Brint"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brint.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Selvane"));

    auto service = std::make_unique<NorvelService>(argc, argv);
    const int result = service->exec();
    service.reset();
    // The last line: everything that logs has ended by now.
    Log(Notice, "Service stopped");
    return result;
}
