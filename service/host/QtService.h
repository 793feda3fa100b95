// The service framework: a program that is at the same time a service, its installer and its remote
// control. The first command-line argument selects which (see QtServiceBase::exec).
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

// Installs and controls a service by name through the system's service manager.
class QtServiceController
{
public:
    enum StartupType
    {
        AutoStartup = 0,
        ManualStartup
    };

    explicit QtServiceController(const QString& name);
    virtual ~QtServiceController() = default;

    bool isInstalled() const;
    bool isRunning() const;
    QString serviceName() const { return m_name; }

    // Installs the service of the running program (QtServiceBase::instance()) under the given account.
    static bool install(const QString& serviceFilePath, const QString& account = QString(),
                        const QString& password = QString());
    bool uninstall();
    bool start(const QStringList& arguments);
    bool start() { return start(QStringList()); }
    // Waits at most about 2 seconds for the service to report itself stopped.
    bool stop();
    bool pause();
    bool resume();
    // Codes 0 to 127, delivered as user controls 128 to 255; only to a running service.
    bool sendCommand(int code);

private:
    QString m_name;
};

class QtServiceBasePrivate;

class QtServiceBase
{
public:
    enum MessageType
    {
        Success = 0,
        Error,
        Warning,
        Information
    };

    enum ServiceFlag
    {
        Default = 0x00,
        CanBeSuspended = 0x01,
        CannotBeStopped = 0x02,
        NeedsStopOnShutdown = 0x04,
    };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    // Keeps argv as the argument list; the name is checked (255 characters at most, no backslashes).
    QtServiceBase(int argc, char** argv, const QString& name);
    virtual ~QtServiceBase();

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString& description);
    QtServiceController::StartupType startupType() const;
    void setStartupType(QtServiceController::StartupType type);
    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);

    // The command-line dispatch; its result is the process exit code.
    int exec();

    // An entry in the system event log under the service's name.
    void logMessage(const QString& message, MessageType type = Success);

    static QtServiceBase* instance();

protected:
    virtual void start() = 0;
    virtual void stop() {}
    virtual void pause() {}
    virtual void resume() {}
    virtual void processCommand(int code) {}
    virtual void createApplication(int& argc, char** argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class QtServiceBasePrivate;
    friend class QtServiceSysPrivate;
    std::unique_ptr<QtServiceBasePrivate> d_ptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

template <typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char** argv, const QString& name) : QtServiceBase(argc, argv, name) {}

protected:
    Application* application() const { return static_cast<Application*>(QCoreApplication::instance()); }

    // The framework owns the application object and deletes it when the event loop has returned.
    void createApplication(int& argc, char** argv) override { new Application(argc, argv); }
    int executeApplication() override { return Application::exec(); }
};
