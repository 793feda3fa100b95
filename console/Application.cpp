#include "console/Application.h"

#include "console/LoginWindow.h"
#include "console/Selvdesk.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QLibraryInfo>
#include <QSettings>
#include <QTranslator>

namespace console {

void SetApplicationIdentity()
{
    QCoreApplication::setOrganizationName(kOrganisation);
    QCoreApplication::setOrganizationDomain(kDomain);
    QCoreApplication::setApplicationName(kApplication);
    QCoreApplication::setApplicationVersion(kVersion);
    QSettings::setDefaultFormat(QSettings::IniFormat);
}

std::unique_ptr<QSettings> OpenSettings()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
}

bool ReadConnectionSettings(ConnectionSettings& values)
{
    auto store = OpenSettings();
    store->beginGroup("Database");
    values.driverName = store->value("DriverName").toString();
    values.databaseName = store->value("DatabaseName").toString();
    values.hostName = store->value("HostName").toString();
    values.port = store->value("DatabasePort").toString();
    store->endGroup();
    return store->status() == QSettings::NoError && !store->allKeys().isEmpty();
}

bool LoadTranslation(QTranslator& translator, const QString& programFolder, QTranslator* qtTranslator)
{
    bool installed = translator.load("selvdesk_ru", programFolder + "/lang/") && !translator.isEmpty() &&
                     QCoreApplication::installTranslator(&translator);
    if (installed) {
        qDebug().noquote() << "Translation loaded. Test word is " + QCoreApplication::translate("", "File");
        qDebug().noquote() << QCoreApplication::translate("LoginWindow", "Login window");
        const QString qtFolder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        if (qtTranslator &&
            !(qtTranslator->load("qtbase_ru", qtFolder) && QCoreApplication::installTranslator(qtTranslator)))
            qDebug().noquote() << "Can't load Qt's own translation qtbase_ru from " + qtFolder;
    } else {
        qDebug().noquote() << "Can't load translation. Test word is " + QString("File");
    }
    return installed;
}

int Run(QApplication& app)
{
    QTranslator translator;
    QTranslator qtTranslator;
    LoadTranslation(translator, QCoreApplication::applicationDirPath(), &qtTranslator);

    Selvdesk window;
    LoginWindow login;
    if (login.exec() != QDialog::Accepted)
        return 0;
    window.setDatabase(login.database());
    window.show();
    return app.exec();
}

} // namespace console
