// The framework's inner parts: the command line's worker, the service bookkeeping of service mode and
// the objects that carry control requests into the main thread.
#pragma once

#include "platform/ServiceManager.h"
#include "service/host/QtService.h"

#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSocketNotifier>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <csignal>
#include <memory>
#include <vector>

// While it lives, SIGTERM (as from systemd or kill) and SIGINT end the event loop, in console and in
// service mode alike, so the service object is destroyed and closes what it holds, as a stop from the
// manager does.
class SignalStopper
{
public:
    SignalStopper();
    ~SignalStopper();
    SignalStopper(const SignalStopper&) = delete;
    SignalStopper& operator=(const SignalStopper&) = delete;

private:
    static inline volatile sig_atomic_t writeFd = -1;
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm = {};
    struct sigaction oldInt = {};
};

// argc and argv for an application object, which keeps references to both: they must outlive it.
struct ApplicationArguments
{
    explicit ApplicationArguments(const QStringList& args);
    int argc = 0;
    std::vector<QByteArray> data;
    std::vector<char*> argv;
};

class QtServiceBasePrivate
{
public:
    explicit QtServiceBasePrivate(const QString& name);

    void startService();
    // Console mode: the application from argList, start on the first turn of the loop.
    int run(const QStringList& argList);
    bool install(const QString& account, const QString& password);
    // Service mode: connect to the service manager, or from a console ask it to start the service.
    bool start();
    QString filePath() const;

    QtServiceBase* q_ptr = nullptr;
    QString serviceDescription;
    QtServiceController::StartupType startupType = QtServiceController::ManualStartup;
    QtServiceBase::ServiceFlags serviceFlags = QtServiceBase::Default;
    QStringList args;
    QtServiceController controller;

    static QtServiceBase* instance;
};

// Runs the start operation from the event loop's first turn.
class QtServiceStarter : public QObject
{
    Q_OBJECT
public:
    explicit QtServiceStarter(QtServiceBasePrivate* service) : d_ptr(service) {}

public slots:
    void slotStart() { d_ptr->startService(); }

private:
    QtServiceBasePrivate* d_ptr;
};

class QtServiceSysPrivate;

// Lives in the main thread and receives the control requests posted to it.
class QtServiceControllerHandler : public QObject
{
public:
    explicit QtServiceControllerHandler(QtServiceSysPrivate* sys) : d_sys(sys) {}

protected:
    void customEvent(QEvent* e) override;

private:
    QtServiceSysPrivate* d_sys;
};

// Calls the blocking service control dispatcher, which returns only when the service has stopped.
class HandlerThread : public QThread
{
public:
    bool calledOk() const { return success; }
    bool conErr() const { return console; }

protected:
    void run() override;

private:
    std::atomic<bool> success{true};
    std::atomic<bool> console{false};
};

// The bookkeeping of service mode, shared by the main thread and the dispatcher's threads.
class QtServiceSysPrivate
{
public:
    enum
    {
        QTSERVICE_STARTUP = 256
    };

    QtServiceSysPrivate();

    void setStatus(platform::ServiceState state);
    void setExitCode(int code);
    platform::ServiceState state() const;
    void setServiceFlags(QtServiceBase::ServiceFlags flags);
    void handleCustomEvent(QEvent* e);

    static unsigned acceptedControls(QtServiceBase::ServiceFlags flags);
    static void serviceMain(const std::vector<std::string>& args);
    static void handler(unsigned code);

    static QtServiceSysPrivate* instance;

    QStringList serviceArgs;
    QtServiceControllerHandler* controllerHandler = nullptr;
    QSemaphore startSemaphore;  // main thread waits; service main or a failed dispatcher releases
    QSemaphore startSemaphore2; // service main waits; the main thread releases once the application exists
    QMutex mutex;               // held around every control request
    QWaitCondition condition;   // the main thread has handled the request

private:
    mutable QMutex statusMutex;
    platform::ServiceStatus status;
    platform::ServiceStatusHandle statusHandle = 0;
};
