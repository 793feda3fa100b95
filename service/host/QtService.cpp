#include "service/host/QtService.h"

#include "platform/ServiceManager.h"
#include "service/host/QtService_p.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Narrow(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

const char kUsage[] =
    "\n%s -[i|u|e|s|v|h]\n"
    "\t-i(nstall) [account] [password]\t: Install the service, optionally using given account "
    "and password\n"
    "\t-u(ninstall)\t: Uninstall the service.\n"
    "\t-e(xec)\t\t: Run as a regular application. Useful for debugging.\n"
    "\t-t(erminate)\t: Stop the service.\n"
    "\t-c(ommand) num\t: Send command code num to the service.\n"
    "\t-v(ersion)\t: Print version and status information.\n"
    "\t-h(elp)   \t: Show this help\n"
    "\tNo arguments\t: Start the service.\n";

} // namespace

// --- SignalStopper ------------------------------------------------------------------------------------

SignalStopper::SignalStopper()
{
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    writeFd = fds[1];
    notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = [](int) {
        const int saved = errno;
        [[maybe_unused]] ssize_t n = write(writeFd, "q", 1);
        errno = saved;
    };
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGINT, &action, &oldInt);
}

SignalStopper::~SignalStopper()
{
    if (!notifier)
        return;
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
    notifier.reset();
    writeFd = -1;
    close(fds[0]);
    close(fds[1]);
}

// --- QtServiceController ----------------------------------------------------------------------------

QtServiceController::QtServiceController(const QString& name) : m_name(name) {}

bool QtServiceController::isInstalled() const
{
    return platform::IsServiceInstalled(Narrow(m_name));
}

bool QtServiceController::isRunning() const
{
    platform::ServiceStatus status;
    return platform::QueryServiceStatus(Narrow(m_name), &status) &&
           status.state != platform::ServiceState::Stopped;
}

bool QtServiceController::install(const QString& serviceFilePath, const QString& account,
                                  const QString& password)
{
    QtServiceBase* service = QtServiceBase::instance();
    if (!service)
        return false;
    QString user = account;
    if (!user.isEmpty()) {
        if (!user.contains(QLatin1Char('\\')))
            user.prepend(QLatin1String(".\\"));
        // The system's own account is the manager's: nothing to pass.
        if (user.endsWith(QLatin1String("\\LocalSystem")))
            user.clear();
    }
    platform::ServiceConfig config;
    config.name = Narrow(service->serviceName());
    config.displayName = config.name;
    config.programPath = Narrow(serviceFilePath);
    config.account = Narrow(user);
    config.startType =
        service->startupType() == AutoStartup ? platform::StartType::Auto : platform::StartType::Demand;
    config.serviceType = platform::ServiceOwnProcess;
    if (user.isEmpty())
        config.serviceType |= platform::ServiceInteractiveProcess;
    const std::string secret = user.isEmpty() ? std::string() : Narrow(password);
    if (!platform::CreateService(config, secret))
        return false;
    // The install stands even when the description cannot be set.
    if (!service->serviceDescription().isEmpty())
        platform::SetServiceDescription(config.name, Narrow(service->serviceDescription()));
    return true;
}

bool QtServiceController::uninstall()
{
    return platform::DeleteService(Narrow(m_name));
}

bool QtServiceController::start(const QStringList& arguments)
{
    std::vector<std::string> args;
    for (const QString& a : arguments)
        args.push_back(Narrow(a));
    return platform::StartService(Narrow(m_name), args);
}

bool QtServiceController::stop()
{
    const std::string name = Narrow(m_name);
    if (!platform::IsServiceInstalled(name))
        return false;
    platform::ServiceStatus status;
    if (!platform::ControlService(name, platform::ControlStop, &status)) {
        const int error = errno; // the caller reports it once more
        qErrnoWarning(error, "stopping");
        errno = error;
        return false;
    }
    for (int polls = 0; status.state != platform::ServiceState::Stopped && polls < 10; ++polls) {
        QThread::msleep(200);
        if (!platform::QueryServiceStatus(name, &status)) {
            // Uninstalled while it ran: its entry went when it stopped.
            if (errno == ENOENT)
                status.state = platform::ServiceState::Stopped;
            break;
        }
    }
    return status.state == platform::ServiceState::Stopped;
}

bool QtServiceController::pause()
{
    return platform::ControlService(Narrow(m_name), platform::ControlPause);
}

bool QtServiceController::resume()
{
    return platform::ControlService(Narrow(m_name), platform::ControlContinue);
}

bool QtServiceController::sendCommand(int code)
{
    if (code < 0 || code > 127 || !isRunning())
        return false;
    return platform::ControlService(Narrow(m_name), 128u + static_cast<unsigned>(code));
}

// --- QtServiceBasePrivate ---------------------------------------------------------------------------

ApplicationArguments::ApplicationArguments(const QStringList& args) : argc(static_cast<int>(args.size()))
{
    for (const QString& a : args)
        data.push_back(a.toLocal8Bit());
    for (QByteArray& a : data)
        argv.push_back(a.data());
    argv.push_back(nullptr);
}

QtServiceBase* QtServiceBasePrivate::instance = nullptr;

QtServiceBasePrivate::QtServiceBasePrivate(const QString& name) : controller(name) {}

void QtServiceBasePrivate::startService()
{
    q_ptr->start();
}

int QtServiceBasePrivate::run(const QStringList& argList)
{
    ApplicationArguments arguments(argList);
    q_ptr->createApplication(arguments.argc, arguments.argv.data());
    std::unique_ptr<QCoreApplication> app(QCoreApplication::instance());
    if (!app)
        return -1;
    SignalStopper stopper;
    QtServiceStarter starter(this);
    QTimer::singleShot(0, &starter, &QtServiceStarter::slotStart);
    return q_ptr->executeApplication();
}

bool QtServiceBasePrivate::install(const QString& account, const QString& password)
{
    return QtServiceController::install(filePath(), account, password);
}

QString QtServiceBasePrivate::filePath() const
{
    return QString::fromLocal8Bit(platform::ProgramPath().c_str());
}

// --- QtServiceBase ----------------------------------------------------------------------------------

QtServiceBase::QtServiceBase(int argc, char** argv, const QString& name)
{
    QString checked = name;
    if (checked.length() > 255) {
        qWarning("QtService: 'name' is longer than 255 characters.");
        checked.truncate(255);
    }
    if (checked.contains(QLatin1Char('\\'))) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        checked.replace(QLatin1Char('\\'), QChar(0));
    }
    d_ptr = std::make_unique<QtServiceBasePrivate>(checked);
    d_ptr->q_ptr = this;
    for (int i = 0; i < argc; ++i)
        d_ptr->args.append(QString::fromLocal8Bit(argv[i]));
    QtServiceBasePrivate::instance = this;
}

QtServiceBase::~QtServiceBase()
{
    if (QtServiceBasePrivate::instance == this)
        QtServiceBasePrivate::instance = nullptr;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller.serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->serviceDescription;
}

void QtServiceBase::setServiceDescription(const QString& description)
{
    d_ptr->serviceDescription = description;
}

QtServiceController::StartupType QtServiceBase::startupType() const
{
    return d_ptr->startupType;
}

void QtServiceBase::setStartupType(QtServiceController::StartupType type)
{
    d_ptr->startupType = type;
}

QtServiceBase::ServiceFlags QtServiceBase::serviceFlags() const
{
    return d_ptr->serviceFlags;
}

void QtServiceBase::setServiceFlags(ServiceFlags flags)
{
    d_ptr->serviceFlags = flags;
    if (QtServiceSysPrivate::instance)
        QtServiceSysPrivate::instance->setServiceFlags(flags);
}

QtServiceBase* QtServiceBase::instance()
{
    return QtServiceBasePrivate::instance;
}

void QtServiceBase::logMessage(const QString& message, MessageType type)
{
    platform::EventType event = platform::EventType::Success;
    switch (type) {
    case Error:
        event = platform::EventType::Error;
        break;
    case Warning:
        event = platform::EventType::Warning;
        break;
    case Information:
        event = platform::EventType::Information;
        break;
    case Success:
        break;
    }
    platform::ReportEvent(Narrow(serviceName()), event, Narrow(message));
}

int QtServiceBase::exec()
{
    QStringList& args = d_ptr->args;
    const QByteArray name = serviceName().toLatin1();
    if (args.size() > 1) {
        const QString option = args.at(1);
        if (option == QLatin1String("-i") || option == QLatin1String("-install")) {
            if (d_ptr->controller.isInstalled()) {
                std::fprintf(stderr, "The service %s is already installed\n", name.constData());
                return 0;
            }
            const QString account = args.size() > 2 ? args.at(2) : QString();
            const QString password = args.size() > 3 ? args.at(3) : QString();
            if (!d_ptr->install(account, password)) {
                std::fprintf(stderr, "The service %s could not be installed\n", name.constData());
                return -1;
            }
            std::printf("The service %s has been installed under: %s\n", name.constData(),
                        d_ptr->filePath().toLatin1().constData());
            return 0;
        }
        if (option == QLatin1String("-u") || option == QLatin1String("-uninstall")) {
            if (!d_ptr->controller.isInstalled()) {
                std::fprintf(stderr, "The service %s is not installed\n", name.constData());
                return 0;
            }
            if (!d_ptr->controller.uninstall()) {
                std::fprintf(stderr, "The service %s could not be uninstalled\n", name.constData());
                return -1;
            }
            std::printf("The service %s has been uninstalled.\n", name.constData());
            return 0;
        }
        if (option == QLatin1String("-v") || option == QLatin1String("-version")) {
            const bool installed = d_ptr->controller.isInstalled();
            const bool running = d_ptr->controller.isRunning();
            std::printf("The service\n\t%s\n\t%s\n\n", name.constData(), args.at(0).toLatin1().constData());
            std::printf("is %s", installed ? "installed" : "not installed");
            std::printf(" and %s\n\n", running ? "running" : "not running");
            return 0;
        }
        if (option == QLatin1String("-e") || option == QLatin1String("-exec")) {
            args.removeAt(1);
            const int result = d_ptr->run(args);
            if (result == -1)
                qErrnoWarning("The service could not be executed.");
            return result;
        }
        if (option == QLatin1String("-t") || option == QLatin1String("-terminate")) {
            if (!d_ptr->controller.stop())
                qErrnoWarning("The service could not be stopped.");
            return 0;
        }
        if (option == QLatin1String("-p") || option == QLatin1String("-pause")) {
            d_ptr->controller.pause();
            return 0;
        }
        if (option == QLatin1String("-r") || option == QLatin1String("-resume")) {
            d_ptr->controller.resume();
            return 0;
        }
        if (option == QLatin1String("-c") || option == QLatin1String("-command")) {
            const int code = args.size() > 2 ? args.at(2).toInt() : 0;
            d_ptr->controller.sendCommand(code);
            return 0;
        }
        if (option == QLatin1String("-h") || option == QLatin1String("-help")) {
            std::printf(kUsage, args.at(0).toLatin1().constData());
            return 0;
        }
    }
    if (!d_ptr->start()) {
        std::fprintf(stderr, "The service %s could not start\n", name.constData());
        return -4;
    }
    return 0;
}
