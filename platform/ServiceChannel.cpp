#include "platform/ServiceChannel.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::channel {

namespace {

// A socket address holds about 107 bytes; a long service name is shortened and made unique by a hash.
std::string FileStem(const std::string& name)
{
    std::string stem;
    for (char c : name)
        stem += (c == '/' || c == '\0') ? '_' : c;
    const std::size_t room = sizeof(sockaddr_un{}.sun_path) - 1 - RuntimeDir().size() - 1 - 5;
    if (stem.size() > room && room > 17) {
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016zx", std::hash<std::string>{}(name));
        stem = stem.substr(0, room - 17) + "-" + hash;
    }
    return stem;
}

} // namespace

std::string SocketPath(const std::string& name)
{
    return RuntimeDir() + "/" + FileStem(name) + ".sock";
}

std::string LockPath(const std::string& name)
{
    return RuntimeDir() + "/" + FileStem(name) + ".lock";
}

bool TakeSocket(const std::string& name, int* lockFd, int* listenFd)
{
    *lockFd = *listenFd = -1;
    auto fail = [&](int error) {
        for (int* fd : {lockFd, listenFd}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
        errno = error;
        return false;
    };
    mkdir(RuntimeDir().c_str(), 0755);
    *lockFd = open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (*lockFd < 0)
        return fail(errno);
    if (flock(*lockFd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? EALREADY : errno);
    const std::string path = SocketPath(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return fail(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    *listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Anyone may ask for the status; controls are checked against the caller's user.
    if (*listenFd < 0 || bind(*listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0666) != 0 || listen(*listenFd, 16) != 0)
        return fail(errno);
    return true;
}

std::string FormatReply(int error, const ServiceStatus& status)
{
    char line[96];
    std::snprintf(line, sizeof line, "%d %u %d %u %d %ld\n", error, status.serviceType,
                  static_cast<int>(status.state), status.controlsAccepted, status.exitCode,
                  static_cast<long>(status.processId));
    return line;
}

bool ParseReply(const std::string& line, int* error, ServiceStatus* status)
{
    int state = 0;
    long pid = 0;
    ServiceStatus parsed;
    if (std::sscanf(line.c_str(), "%d %u %d %u %d %ld", error, &parsed.serviceType, &state,
                    &parsed.controlsAccepted, &parsed.exitCode, &pid) != 6 ||
        state < static_cast<int>(ServiceState::Stopped) || state > static_cast<int>(ServiceState::Paused))
        return false;
    parsed.state = static_cast<ServiceState>(state);
    parsed.processId = static_cast<pid_t>(pid);
    if (status)
        *status = parsed;
    return true;
}

bool ReadLine(int fd, std::string* line, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    line->clear();
    while (line->size() < 256) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            errno = ready == 0 ? ETIMEDOUT : errno;
            return false;
        }
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n == 0 ? ECONNRESET : errno;
            return false;
        }
        if (c == '\n')
            return true;
        *line += c;
    }
    errno = EPROTO;
    return false;
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string LocalUserName(const std::string& account)
{
    return account.rfind(".\\", 0) == 0 ? account.substr(2) : account;
}

} // namespace platform::channel
