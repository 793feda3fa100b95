// The console's identity, settings store and translation, shared by its entry point and dialogs.
#pragma once

#include <QString>

#include <memory>

class QApplication;
class QSettings;
class QTranslator;

namespace console {

inline constexpr char kOrganisation[] = "Brint";
inline constexpr char kDomain[] = "brint.local";
inline constexpr char kApplication[] = "Selvdesk";
inline constexpr char kVersion[] = "1.0";

// Organisation, domain, application name and version, and INI as the default settings format.
// Safe to call before the application object exists.
void SetApplicationIdentity();

// The per-user INI store of the console's settings (group "Database").
std::unique_ptr<QSettings> OpenSettings();

// The connection settings of group "Database"; a missing key reads as an empty string.
struct ConnectionSettings
{
    QString driverName;
    QString databaseName;
    QString hostName;
    QString port;
};

// Reads the settings into values; true when the store reports no error and holds at least one key.
bool ReadConnectionSettings(ConnectionSettings& values);

// Loads "selvdesk_ru" from programFolder + "/lang/" and installs it when it holds messages; writes the
// diagnostic lines naming a test word either way. Returns whether it was installed. Once it is, Qt's own
// texts (standard buttons and dialogs) follow: "qtbase_ru" from Qt's translations folder goes into
// qtTranslator, when one is given, so the console does not mix languages.
bool LoadTranslation(QTranslator& translator, const QString& programFolder, QTranslator* qtTranslator = nullptr);

// Everything after the application object exists: translation, hidden main window, modal login, and
// then the event loop. Returns the exit code (0 when the login is cancelled).
int Run(QApplication& app);

} // namespace console
