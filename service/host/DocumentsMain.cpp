// selvane-documents: prints every prompt document the service runs under the current settings, so
// an administrator can see exactly what the dialogues say and where they look for announcements.
#include "service/core/CBSrvSettings.h"
#include "service/telephony/PromptDocuments.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brint"));
    QCoreApplication::setApplicationName(QStringLiteral("Selvane"));

    CBSrvSettings settings;
    if (!settings.LoadSettings()) {
        std::fprintf(stderr, "selvane-documents: cannot read the settings file of Selvane\n");
        return 1;
    }
    // The announcements are looked up beside the program; this tool is installed beside Selvane.
    const PromptDocuments documents = PromptDocuments::Build(
        settings.GetApplicationDir(), settings.GetEnterPinTimer(), settings.GetEnterNumberTimer());
    for (const auto& [name, text] : documents.All())
        std::printf("===== %s =====\n%s\n", name.c_str(), text.c_str());
    return 0;
}
