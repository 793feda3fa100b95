// The service's side: the dispatcher that connects a launched service to its control socket, answers
// status questions itself and hands controls to the registered handler one at a time.
#include "platform/ServiceChannel.h"
#include "platform/ServiceManager.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kRequestTimeoutMs = 1000;

struct Dispatcher
{
    std::string name;
    int listenFd = -1;
    int wakeFd = -1;
    std::mutex mutex; // guards what follows
    ServiceStatus status;
    ControlHandler handler = nullptr;
    bool controlRunning = false;
    std::thread control; // the thread of the last control handed to the handler
};

std::mutex g_mutex;
Dispatcher* g_dispatcher = nullptr; // the one service of this process while its dispatcher runs
constexpr ServiceStatusHandle kHandle = 1;

std::vector<std::string> CommandLineArguments()
{
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find('\0', start);
        args.push_back(all.substr(start, end - start));
        start = end == std::string::npos ? all.size() : end + 1;
    }
    return args;
}

// Tells the launcher how the start went and lets go of its socket.
void Report(int readyFd, int error)
{
    if (readyFd < 0)
        return;
    std::string message = error == 0 ? "R" : "F";
    if (error) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", error % 1000);
        message += digits;
    }
    channel::WriteAll(readyFd, message);
    close(readyFd);
}

// The reason a control cannot be taken now, or 0. Caller holds the dispatcher's mutex.
int Refusal(const Dispatcher& d, unsigned control, uid_t peer)
{
    if (peer != 0 && peer != geteuid())
        return EPERM;
    const bool user = control >= 128 && control <= 255;
    if (!user && (control < ControlStop || control > ControlShutdown))
        return EINVAL;
    if (!d.handler || d.controlRunning)
        return EBUSY;
    switch (d.status.state) {
    case ServiceState::Running:
    case ServiceState::Paused:
        break;
    case ServiceState::Stopped:
        return ESRCH;
    default:
        return EBUSY; // a pending state: the service is busy changing it
    }
    const unsigned accepted = d.status.controlsAccepted;
    if ((control == ControlStop && !(accepted & AcceptStop)) ||
        ((control == ControlPause || control == ControlContinue) && !(accepted & AcceptPauseContinue)) ||
        (control == ControlShutdown && !(accepted & AcceptShutdown)))
        return EINVAL;
    return 0;
}

void Serve(Dispatcher& d, int client)
{
    std::string request;
    if (!channel::ReadLine(client, &request, kRequestTimeoutMs)) {
        close(client);
        return;
    }
    std::unique_lock<std::mutex> lock(d.mutex);
    if (request != "status" && request.rfind("control ", 0) == 0) {
        const unsigned control = static_cast<unsigned>(std::strtoul(request.c_str() + 8, nullptr, 10));
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            peer.uid = static_cast<uid_t>(-1);
        if (const int refusal = Refusal(d, control, peer.uid)) {
            const std::string reply = channel::FormatReply(refusal, d.status);
            lock.unlock();
            channel::WriteAll(client, reply);
            close(client);
            return;
        }
        // The handler may wait for the service's main thread; status questions must not wait behind it.
        d.controlRunning = true;
        if (d.control.joinable())
            d.control.join();
        d.control = std::thread([&d, control, client] {
            ControlHandler handler = nullptr;
            {
                std::lock_guard<std::mutex> guard(d.mutex);
                handler = d.handler;
            }
            handler(control);
            std::string reply;
            {
                std::lock_guard<std::mutex> guard(d.mutex);
                reply = channel::FormatReply(0, d.status);
                d.controlRunning = false;
            }
            channel::WriteAll(client, reply);
            close(client);
        });
        return;
    }
    const std::string reply = channel::FormatReply(request == "status" ? 0 : EINVAL, d.status);
    lock.unlock();
    channel::WriteAll(client, reply);
    close(client);
}

void RunLoop(Dispatcher& d)
{
    for (;;) {
        pollfd fds[2] = {{d.listenFd, POLLIN, 0}, {d.wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return; // the service reported itself stopped
        if (fds[0].revents & POLLIN) {
            const int client = accept4(d.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                Serve(d, client);
        }
    }
}

// The lock and socket the launcher took, or else (a service launched by hand with the marker) its own.
bool Listen(Dispatcher& d, int* lockFd)
{
    const char* inherited = std::getenv(channel::kListenFdsVariable);
    if (!inherited)
        return channel::TakeSocket(d.name, lockFd, &d.listenFd);
    unsetenv(channel::kListenFdsVariable);
    if (std::sscanf(inherited, "%d %d", lockFd, &d.listenFd) != 2 ||
        fcntl(*lockFd, F_SETFD, FD_CLOEXEC) != 0 || fcntl(d.listenFd, F_SETFD, FD_CLOEXEC) != 0) {
        errno = EBADF;
        return false;
    }
    return true;
}

} // namespace

DispatchResult StartServiceCtrlDispatcher(const std::string& name,
                                          std::function<void(const std::vector<std::string>&)> serviceMain)
{
    const char* marker = std::getenv(channel::kMarkerVariable);
    if (!marker || name != marker)
        return DispatchResult::NotStartedByManager;
    const char* readyText = std::getenv(channel::kReadyFdVariable);
    const int readyFd = readyText ? std::atoi(readyText) : -1;
    // What this process starts must not take itself for a launched service.
    unsetenv(channel::kMarkerVariable);
    unsetenv(channel::kReadyFdVariable);

    Dispatcher d;
    d.name = name;
    int lockFd = -1;
    d.wakeFd = eventfd(0, EFD_CLOEXEC);
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_dispatcher) {
            errno = EALREADY;
            Report(readyFd, errno);
            return DispatchResult::Failed;
        }
    }
    if (d.wakeFd < 0 || !Listen(d, &lockFd)) {
        const int error = errno;
        for (int fd : {d.wakeFd, d.listenFd, lockFd})
            if (fd >= 0)
                close(fd);
        Report(readyFd, error);
        errno = error;
        return DispatchResult::Failed;
    }
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_dispatcher = &d;
    }
    d.status.processId = getpid();
    d.status.state = ServiceState::StartPending;
    Report(readyFd, 0);

    std::vector<std::string> args = CommandLineArguments();
    if (args.empty())
        args.emplace_back();
    args[0] = name;
    std::thread main([&serviceMain, args] { serviceMain(args); });

    RunLoop(d);

    close(d.listenFd);
    unlink(channel::SocketPath(name).c_str());
    IsServiceInstalled(name); // finishes a deletion asked for while the service ran
    main.join();
    if (d.control.joinable())
        d.control.join();
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_dispatcher = nullptr;
    }
    close(d.wakeFd);
    close(lockFd); // releases the lock: the service is gone
    return DispatchResult::Finished;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const std::string& name, ControlHandler handler)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    if (!g_dispatcher || g_dispatcher->name != name || !handler) {
        errno = EINVAL;
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_dispatcher->mutex);
    g_dispatcher->handler = handler;
    return kHandle;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    if (handle != kHandle || !g_dispatcher) {
        errno = EINVAL;
        return false;
    }
    Dispatcher& d = *g_dispatcher;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.status = status;
    d.status.processId = status.state == ServiceState::Stopped ? 0 : getpid();
    if (status.state == ServiceState::Stopped) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(d.wakeFd, &one, sizeof one);
    }
    return true;
}

} // namespace platform
