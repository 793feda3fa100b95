// Service mode on Linux: the dispatcher of the service manager (platform/) runs in a HandlerThread, the
// service main function and the control handler on the dispatcher's threads, and every control request is
// carried into the main thread as a posted event.
#include "common/Logging.h"
#include "service/host/QtService_p.h"

#include <QCoreApplication>
#include <QEvent>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr unsigned long kHandlerThreadWaitMs = 1000;

} // namespace

QtServiceSysPrivate* QtServiceSysPrivate::instance = nullptr;

QtServiceSysPrivate::QtServiceSysPrivate()
{
    status.serviceType = platform::ServiceOwnProcess | platform::ServiceInteractiveProcess;
    status.state = platform::ServiceState::Stopped;
}

unsigned QtServiceSysPrivate::acceptedControls(QtServiceBase::ServiceFlags flags)
{
    unsigned accepted = 0;
    if (!(flags & QtServiceBase::CannotBeStopped))
        accepted |= platform::AcceptStop;
    if (flags & QtServiceBase::CanBeSuspended)
        accepted |= platform::AcceptPauseContinue;
    if (flags & QtServiceBase::NeedsStopOnShutdown)
        accepted |= platform::AcceptShutdown;
    return accepted;
}

void QtServiceSysPrivate::setServiceFlags(QtServiceBase::ServiceFlags flags)
{
    QMutexLocker lock(&statusMutex);
    status.controlsAccepted = acceptedControls(flags);
    if (statusHandle)
        platform::SetServiceStatus(statusHandle, status);
}

void QtServiceSysPrivate::setStatus(platform::ServiceState state)
{
    QMutexLocker lock(&statusMutex);
    status.state = state;
    if (statusHandle)
        platform::SetServiceStatus(statusHandle, status);
}

void QtServiceSysPrivate::setExitCode(int code)
{
    QMutexLocker lock(&statusMutex);
    status.exitCode = code;
}

platform::ServiceState QtServiceSysPrivate::state() const
{
    QMutexLocker lock(&statusMutex);
    return status.state;
}

void QtServiceSysPrivate::serviceMain(const std::vector<std::string>& args)
{
    if (!instance || !QtServiceBase::instance())
        return;
    for (const std::string& a : args)
        instance->serviceArgs.append(QString::fromLocal8Bit(a.c_str()));
    instance->startSemaphore.release();  // the main thread may create the application now
    instance->startSemaphore2.acquire(); // and has done so
    const platform::ServiceStatusHandle handle = platform::RegisterServiceCtrlHandler(
        QtServiceBase::instance()->serviceName().toLocal8Bit().toStdString(), &QtServiceSysPrivate::handler);
    if (!handle)
        return;
    {
        QMutexLocker lock(&instance->statusMutex);
        instance->statusHandle = handle;
    }
    handler(QTSERVICE_STARTUP);
}

void QtServiceSysPrivate::handler(unsigned code)
{
    if (!instance)
        return;
    // Posts the request to the main thread and waits until it has been handled there.
    auto handOver = [code] {
        QCoreApplication::postEvent(instance->controllerHandler, new QEvent(static_cast<QEvent::Type>(
                                                                     QEvent::User + static_cast<int>(code))));
        instance->condition.wait(&instance->mutex);
    };
    instance->mutex.lock();
    switch (code) {
    case QTSERVICE_STARTUP:
        instance->setStatus(platform::ServiceState::StartPending);
        handOver();
        instance->setStatus(platform::ServiceState::Running);
        break;
    case platform::ControlStop:
        instance->setStatus(platform::ServiceState::StopPending);
        handOver();
        // Reported stopped by the main thread once the event loop has returned.
        break;
    case platform::ControlPause:
        instance->setStatus(platform::ServiceState::PausePending);
        handOver();
        instance->setStatus(platform::ServiceState::Paused);
        break;
    case platform::ControlContinue:
        instance->setStatus(platform::ServiceState::ContinuePending);
        handOver();
        instance->setStatus(platform::ServiceState::Running);
        break;
    case platform::ControlInterrogate:
        break;
    default:
        if (code >= 128 && code <= 255)
            handOver();
        break;
    }
    instance->mutex.unlock();
}

void QtServiceSysPrivate::handleCustomEvent(QEvent* e)
{
    const int code = static_cast<int>(e->type()) - static_cast<int>(QEvent::User);
    QtServiceBase* service = QtServiceBase::instance();
    if (code != QTSERVICE_STARTUP)
        Log(Debug, "Service control ", code);
    switch (code) {
    case QTSERVICE_STARTUP:
        service->start();
        break;
    case platform::ControlStop:
        service->stop();
        QCoreApplication::quit();
        break;
    case platform::ControlPause:
        service->pause();
        break;
    case platform::ControlContinue:
        service->resume();
        break;
    default:
        if (code >= 128 && code <= 255)
            service->processCommand(code - 128);
        break;
    }
    mutex.lock();
    condition.wakeAll();
    mutex.unlock();
}

void QtServiceControllerHandler::customEvent(QEvent* e)
{
    d_sys->handleCustomEvent(e);
}

void HandlerThread::run()
{
    const std::string name = QtServiceBase::instance()->serviceName().toLocal8Bit().toStdString();
    const platform::DispatchResult result =
        platform::StartServiceCtrlDispatcher(name, &QtServiceSysPrivate::serviceMain);
    if (result == platform::DispatchResult::Finished)
        return;
    const int error = errno;
    success = false;
    if (result == platform::DispatchResult::NotStartedByManager)
        console = true; // started from a console, not by the manager
    else
        QtServiceBase::instance()->logMessage(QStringLiteral("The Service failed to start [%1]")
                                                  .arg(QString::fromLocal8Bit(std::strerror(error))),
                                              QtServiceBase::Error);
    QtServiceSysPrivate::instance->startSemaphore.release(); // the service main function never will
}

bool QtServiceBasePrivate::start()
{
    auto sys = std::make_unique<QtServiceSysPrivate>();
    QtServiceSysPrivate::instance = sys.get();
    sys->setServiceFlags(serviceFlags);
    struct Reset
    {
        ~Reset() { QtServiceSysPrivate::instance = nullptr; }
    } reset;

    // Deleted once finished; a thread that does not finish is left to the end of the process.
    auto handlerThread = std::make_unique<HandlerThread>();
    handlerThread->start();
    if (!sys->startSemaphore.tryAcquire(1, kStartTimeoutMs)) {
        (void)handlerThread.release();
        (void)sys.release(); // its threads may still touch it
        return false;
    }
    if (!handlerThread->calledOk()) {
        handlerThread->wait();
        if (handlerThread->conErr())
            return controller.start(args.mid(1));
        return false;
    }

    // The application object from the arguments the manager handed to the service main function.
    ApplicationArguments arguments(sys->serviceArgs);
    q_ptr->createApplication(arguments.argc, arguments.argv.data());
    std::unique_ptr<QCoreApplication> app(QCoreApplication::instance());
    if (!app) {
        (void)handlerThread.release();
        (void)sys.release();
        return false;
    }
    // In place of the filter that keeps a user's log-off from ending the service.
    std::signal(SIGHUP, SIG_IGN);
    auto controllerHandler = std::make_unique<QtServiceControllerHandler>(sys.get());
    sys->controllerHandler = controllerHandler.get();
    sys->startSemaphore2.release();

    {
        SignalStopper stopper;
        sys->setExitCode(q_ptr->executeApplication());
    }
    sys->setStatus(platform::ServiceState::Stopped);
    if (handlerThread->isRunning())
        handlerThread->wait(kHandlerThreadWaitMs);
    controllerHandler.reset();
    if (!handlerThread->isFinished()) {
        (void)handlerThread.release();
        (void)sys.release();
    }
    app.reset();
    return true;
}
