// The registry of installed services: one group per service in an INI file, and beside it (for hosts
// managed by systemd) a unit per service that runs the program in the foreground.
#include "platform/ServiceChannel.h"
#include "platform/ServiceManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace platform {

namespace {

std::string FromEnvironment(const char* variable, const char* fallback)
{
    const char* value = std::getenv(variable);
    return value && *value ? value : fallback;
}

// A name the registry can hold as one group: '/' would open a subgroup.
bool ValidName(const std::string& name)
{
    return !name.empty() && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

class Registry
{
public:
    Registry() : settings(Q(RegistryPath()), QSettings::IniFormat) {}

    bool Has(const std::string& name) { return settings.childGroups().contains(Q(name)); }

    bool Sync()
    {
        settings.sync();
        if (settings.status() == QSettings::NoError)
            return true;
        errno = EACCES;
        return false;
    }

    QSettings settings;
};

const char* StartTypeText(StartType type)
{
    switch (type) {
    case StartType::Auto:
        return "auto";
    case StartType::Disabled:
        return "disabled";
    case StartType::Demand:
        break;
    }
    return "demand";
}

StartType StartTypeFromText(const QString& text)
{
    if (text == QLatin1String("auto"))
        return StartType::Auto;
    if (text == QLatin1String("disabled"))
        return StartType::Disabled;
    return StartType::Demand;
}

// systemd takes a quoted word with C escapes; '%' starts a specifier and '$' a variable.
std::string UnitWord(const std::string& text, bool quote)
{
    std::string out = quote ? "\"" : "";
    for (char c : text) {
        if (c == '%' || c == '$')
            out += c;
        else if (quote && (c == '"' || c == '\\'))
            out += '\\';
        out += c;
    }
    return quote ? out + "\"" : out;
}

std::string UnitPath(const std::string& name)
{
    return SystemdUnitDir() + "/" + SystemdUnitName(name);
}

bool WriteUnit(const ServiceConfig& config)
{
    if (!QFileInfo(Q(SystemdUnitDir())).isDir())
        return true; // no systemd here
    std::string unit = "# Written by \"" + config.programPath + " -i\"; \"-u\" removes it.\n";
    unit += "[Unit]\nDescription=" +
            UnitWord(config.description.empty() ? config.displayName : config.description, false);
    unit += "\nAfter=network-online.target\nWants=network-online.target\n\n[Service]\nType=simple\n";
    unit += "ExecStart=" + UnitWord(config.programPath, true) + " -e\n";
    unit +=
        "WorkingDirectory=" + UnitWord(QFileInfo(Q(config.programPath)).absolutePath().toStdString(), false) +
        "\n";
    if (!config.account.empty())
        unit += "User=" + UnitWord(channel::LocalUserName(config.account), false) + "\n";
    unit += "Restart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n";

    QSaveFile file(Q(UnitPath(config.name)));
    if (!file.open(QIODevice::WriteOnly) || file.write(unit.data(), static_cast<qint64>(unit.size())) < 0 ||
        !file.commit()) {
        errno = EACCES;
        return false;
    }
    return true;
}

// Set by an uninstall while the service runs; the entry goes once the service has stopped.
const char* const kDeletePending = "DeletePending";

bool Marked(Registry& registry, const std::string& name)
{
    return registry.settings.value(Q(name) + QLatin1Char('/') + QLatin1String(kDeletePending)).toBool();
}

bool Remove(Registry& registry, const std::string& name)
{
    registry.settings.remove(Q(name));
    if (!registry.Sync())
        return false;
    QFile::remove(Q(UnitPath(name)));
    return true;
}

// Whether the entry stands. A service marked for deletion that no longer runs is deleted here, by whoever
// looks first (the service itself may not be allowed to write the registry); for one who may not write
// it either, the service counts as deleted all the same.
bool Present(Registry& registry, const std::string& name)
{
    if (!ValidName(name) || !registry.Has(name))
        return false;
    if (!Marked(registry, name) || channel::IsRunning(name))
        return true;
    Remove(registry, name);
    return false;
}

} // namespace

std::string RegistryPath()
{
    return FromEnvironment("SELVANE_SERVICE_REGISTRY", "/etc/selvane/services.ini");
}

std::string RuntimeDir()
{
    return FromEnvironment("SELVANE_RUNTIME_DIR", "/run/selvane");
}

std::string SystemdUnitDir()
{
    return FromEnvironment("SELVANE_SYSTEMD_UNIT_DIR", "/etc/systemd/system");
}

std::string ProgramPath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::string SystemdUnitName(const std::string& name)
{
    std::string unit;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
        if (plain)
            unit += c;
        else if (c >= 'A' && c <= 'Z')
            unit += static_cast<char>(c - 'A' + 'a');
        else if (unit.empty() || unit.back() != '-')
            unit += '-';
    }
    return unit + ".service";
}

bool IsServiceInstalled(const std::string& name)
{
    Registry registry;
    return Present(registry, name);
}

bool CreateService(const ServiceConfig& config, const std::string& password)
{
    if (!ValidName(config.name)) {
        errno = EINVAL;
        return false;
    }
    QDir().mkpath(QFileInfo(Q(RegistryPath())).absolutePath());
    Registry registry;
    if (Present(registry, config.name)) {
        errno = EEXIST;
        return false;
    }
    QSettings& s = registry.settings;
    s.beginGroup(Q(config.name));
    s.setValue(QStringLiteral("DisplayName"), Q(config.displayName));
    s.setValue(QStringLiteral("Program"), Q(config.programPath));
    s.setValue(QStringLiteral("Description"), Q(config.description));
    s.setValue(QStringLiteral("Account"), Q(config.account));
    s.setValue(QStringLiteral("HasPassword"), !password.empty());
    s.setValue(QStringLiteral("StartType"), QLatin1String(StartTypeText(config.startType)));
    s.setValue(QStringLiteral("ServiceType"), config.serviceType);
    s.endGroup();
    if (!registry.Sync())
        return false;
    ServiceConfig written = config;
    written.hasPassword = !password.empty();
    if (WriteUnit(written))
        return true;
    const int error = errno;
    s.remove(Q(config.name));
    registry.Sync();
    errno = error;
    return false;
}

bool SetServiceDescription(const std::string& name, const std::string& description)
{
    {
        Registry registry;
        if (!Present(registry, name)) {
            errno = ENOENT;
            return false;
        }
        registry.settings.setValue(Q(name) + QStringLiteral("/Description"), Q(description));
        if (!registry.Sync())
            return false;
    }
    const auto config = QueryServiceConfig(name);
    return config && (!QFile::exists(Q(UnitPath(name))) || WriteUnit(*config));
}

bool DeleteService(const std::string& name)
{
    Registry registry;
    if (!Present(registry, name)) {
        errno = ENOENT;
        return false;
    }
    if (Marked(registry, name)) {
        errno = EALREADY;
        return false;
    }
    // A running service stays controllable until it stops, as with the Windows manager.
    if (channel::IsRunning(name)) {
        registry.settings.setValue(Q(name) + QLatin1Char('/') + QLatin1String(kDeletePending), true);
        return registry.Sync();
    }
    return Remove(registry, name);
}

std::optional<ServiceConfig> QueryServiceConfig(const std::string& name)
{
    Registry registry;
    if (!Present(registry, name)) {
        errno = ENOENT;
        return std::nullopt;
    }
    QSettings& s = registry.settings;
    s.beginGroup(Q(name));
    ServiceConfig config;
    config.name = name;
    config.displayName = s.value(QStringLiteral("DisplayName")).toString().toStdString();
    config.programPath = s.value(QStringLiteral("Program")).toString().toStdString();
    config.description = s.value(QStringLiteral("Description")).toString().toStdString();
    config.account = s.value(QStringLiteral("Account")).toString().toStdString();
    config.hasPassword = s.value(QStringLiteral("HasPassword")).toBool();
    config.startType = StartTypeFromText(s.value(QStringLiteral("StartType")).toString());
    config.serviceType = s.value(QStringLiteral("ServiceType"), ServiceOwnProcess).toUInt();
    s.endGroup();
    return config;
}

} // namespace platform
