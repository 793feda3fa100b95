// The manager's side: asking a running service over its socket, and launching an installed one.
#include "platform/ServiceChannel.h"
#include "platform/ServiceManager.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

constexpr int kStatusTimeoutMs = 5000;
// As long as a control manager waits for a service's handler before it gives up.
constexpr int kControlTimeoutMs = 30000;
constexpr int kStartTimeoutMs = 30000;

class Fd
{
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

enum class Exchange
{
    Answered,
    NotListening,
    Failed
};

// One request and its reply; a socket nobody listens on means the service is not running.
Exchange Ask(const std::string& name, const std::string& request, int timeoutMs, std::string* reply)
{
    const std::string path = channel::SocketPath(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return Exchange::Failed;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return Exchange::Failed;
    // Bounds connect() too when the listener's backlog is full.
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR)
            return Exchange::NotListening;
        if (errno == EAGAIN || errno == EINPROGRESS)
            errno = ETIMEDOUT;
        return Exchange::Failed;
    }
    if (!channel::WriteAll(fd.get(), request) || !channel::ReadLine(fd.get(), reply, timeoutMs))
        return Exchange::Failed;
    return Exchange::Answered;
}

// Builds everything the launched process needs before fork: after it only async-signal-safe calls run.
struct Launch
{
    std::vector<std::string> argStorage;
    std::vector<std::string> envStorage;
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string folder;
    const passwd* user = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string userName;
};

bool Prepare(const ServiceConfig& config, const std::vector<std::string>& args, Launch* launch)
{
    launch->argStorage.push_back(config.programPath);
    launch->argStorage.insert(launch->argStorage.end(), args.begin(), args.end());
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, channel::kMarkerVariable, std::strlen(channel::kMarkerVariable)) != 0 &&
            std::strncmp(*e, channel::kReadyFdVariable, std::strlen(channel::kReadyFdVariable)) != 0 &&
            std::strncmp(*e, channel::kListenFdsVariable, std::strlen(channel::kListenFdsVariable)) != 0)
            launch->envStorage.emplace_back(*e);
    }
    launch->envStorage.push_back(std::string(channel::kMarkerVariable) + "=" + config.name);
    launch->envStorage.push_back(std::string(channel::kReadyFdVariable) + "=3");
    launch->envStorage.push_back(std::string(channel::kListenFdsVariable) + "=4 5");
    for (auto& a : launch->argStorage)
        launch->argv.push_back(a.data());
    launch->argv.push_back(nullptr);
    for (auto& e : launch->envStorage)
        launch->envp.push_back(e.data());
    launch->envp.push_back(nullptr);
    const auto slash = config.programPath.rfind('/');
    launch->folder = slash == std::string::npos || slash == 0 ? "/" : config.programPath.substr(0, slash);

    if (config.account.empty())
        return true;
    launch->userName = channel::LocalUserName(config.account);
    const passwd* user = getpwnam(launch->userName.c_str());
    if (!user) {
        errno = ENOENT;
        return false;
    }
    if (user->pw_uid == geteuid())
        return true;
    if (geteuid() != 0) {
        errno = EPERM;
        return false;
    }
    launch->user = user;
    launch->uid = user->pw_uid;
    launch->gid = user->pw_gid;
    return true;
}

// In the daemon before exec: a session of its own, no terminal, SIGHUP ignored; descriptor 3 the ready
// socket, 4 the service's lock and 5 its listening socket.
[[noreturn]] void BecomeDaemon(const Launch& launch, int readyFd, int lockFd, int listenFd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    signal(SIGHUP, SIG_IGN); // logging off or closing a terminal does not end the service
    umask(022);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    // Moved out of the way first: one of them may already sit on 3, 4 or 5.
    const int moved[] = {fcntl(readyFd, F_DUPFD, 10), fcntl(lockFd, F_DUPFD, 10),
                         fcntl(listenFd, F_DUPFD, 10)};
    for (int target = 0; target < 3; ++target)
        if (moved[target] < 0 || dup2(moved[target], 3 + target) < 0)
            _exit(127);
    close_range(6, ~0U, 0);
    auto fail = [](int error) {
        const char message[] = {'F', static_cast<char>('0' + error / 100 % 10),
                                static_cast<char>('0' + error / 10 % 10),
                                static_cast<char>('0' + error % 10)};
        [[maybe_unused]] ssize_t written = send(3, message, sizeof message, MSG_NOSIGNAL);
        _exit(127);
    };
    if (chdir(launch.folder.c_str()) != 0)
        fail(errno);
    if (launch.user && (initgroups(launch.userName.c_str(), launch.gid) != 0 || setgid(launch.gid) != 0 ||
                        setuid(launch.uid) != 0))
        fail(errno);
    execve(launch.argv[0], launch.argv.data(), launch.envp.data());
    fail(errno);
    _exit(127);
}

} // namespace

bool channel::IsRunning(const std::string& name)
{
    std::string reply;
    int error = 0;
    ServiceStatus status;
    switch (Ask(name, "status\n", kStatusTimeoutMs, &reply)) {
    case Exchange::NotListening:
        return false;
    case Exchange::Failed:
        return true;
    case Exchange::Answered:
        break;
    }
    return !channel::ParseReply(reply, &error, &status) || status.state != ServiceState::Stopped;
}

bool QueryServiceStatus(const std::string& name, ServiceStatus* status)
{
    if (!IsServiceInstalled(name)) {
        errno = ENOENT;
        return false;
    }
    std::string reply;
    int error = 0;
    ServiceStatus answered;
    switch (Ask(name, "status\n", kStatusTimeoutMs, &reply)) {
    case Exchange::NotListening:
        answered = ServiceStatus{};
        break;
    case Exchange::Failed:
        return false;
    case Exchange::Answered:
        if (!channel::ParseReply(reply, &error, &answered)) {
            errno = EPROTO;
            return false;
        }
        break;
    }
    if (status)
        *status = answered;
    return true;
}

bool ControlService(const std::string& name, unsigned control, ServiceStatus* status)
{
    if (!IsServiceInstalled(name)) {
        errno = ENOENT;
        return false;
    }
    std::string reply;
    switch (Ask(name, "control " + std::to_string(control) + "\n", kControlTimeoutMs, &reply)) {
    case Exchange::NotListening:
        errno = ESRCH;
        return false;
    case Exchange::Failed:
        return false;
    case Exchange::Answered:
        break;
    }
    int error = 0;
    ServiceStatus answered;
    if (!channel::ParseReply(reply, &error, &answered)) {
        errno = EPROTO;
        return false;
    }
    if (status)
        *status = answered;
    errno = error;
    return error == 0;
}

bool StartService(const std::string& name, const std::vector<std::string>& args)
{
    const auto config = QueryServiceConfig(name);
    if (!config)
        return false;
    ServiceStatus current;
    if (!QueryServiceStatus(name, &current))
        return false;
    if (current.state != ServiceState::Stopped) {
        errno = EALREADY;
        return false;
    }
    Launch launch;
    if (!Prepare(*config, args, &launch))
        return false;

    int lockFd = -1;
    int listenFd = -1;
    if (!channel::TakeSocket(name, &lockFd, &listenFd))
        return false;
    // The daemon keeps its own copies; the lock stays held as long as one of them is open.
    Fd lock(lockFd);
    Fd listener(listenFd);

    // A socket pair rather than a pipe: the daemon's report must not raise SIGPIPE if the launcher is gone.
    int ready[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(ready[0]);
        close(ready[1]);
        errno = error;
        return false;
    }
    if (child == 0) {
        // Twice forked: the daemon is no session leader and can never gain a controlling terminal.
        setsid();
        const pid_t daemon = fork();
        if (daemon == 0)
            BecomeDaemon(launch, ready[1], lock.get(), listener.get());
        _exit(daemon < 0 ? 1 : 0);
    }
    close(ready[1]);
    int childStatus = 0;
    while (waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    Fd readEnd(ready[0]);
    if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0) {
        errno = ECHILD;
        return false;
    }

    // "R": the dispatcher is connected. "F<errno>": it failed. End of file: the daemon ended unheard.
    std::string message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    for (;;) {
        if (!message.empty() && message[0] == 'R')
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{readEnd.get(), POLLIN, 0};
        const int n = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        char buffer[16];
        const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        message.append(buffer, static_cast<std::size_t>(got));
    }
    errno = message.size() >= 4 && message[0] == 'F' ? std::atoi(message.c_str() + 1) : EIO;
    if (errno == 0)
        errno = EIO;
    return false;
}

} // namespace platform
