#include "tests/support/ChildProcess.h"

#include "tests/support/Wait.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace testsupport {

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Closes its descriptor when it goes.
struct Fd
{
    explicit Fd(int descriptor = -1) : fd(descriptor) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Release() { return std::exchange(fd, -1); }
    int fd;
};

} // namespace

ChildProcess::~ChildProcess()
{
    if (input_ >= 0)
        close(input_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (pidFd_ >= 0)
        close(pidFd_);
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool ChildProcess::MakeFolder()
{
    if (!folder_.empty())
        return true;
    char folder[] = "/tmp/selvane-child-XXXXXX";
    if (!mkdtemp(folder))
        return false;
    folder_ = folder;
    return true;
}

bool ChildProcess::Run(const std::vector<std::string>& args, bool input)
{
    if (args.empty() || pid_ > 0 || ((workDir_.empty() || outputPath_.empty()) && !MakeFolder()))
        return false;
    if (workDir_.empty())
        workDir_ = folder_;
    if (outputPath_.empty())
        outputPath_ = folder_ + "/output.log";

    // Everything the child needs is made before the fork: after it, only exec and descriptor calls.
    std::vector<std::string> variables;
    for (char** e = environ; *e; ++e)
        if (std::none_of(environment_.begin(), environment_.end(),
                         [e](const auto& set) { return std::string(*e).rfind(set.first + "=", 0) == 0; }))
            variables.emplace_back(*e);
    for (const auto& [name, value] : environment_)
        variables.push_back(name + "=" + value);
    // exec takes char* const[] and leaves the strings alone.
    auto pointers = [](const std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (const auto& s : strings)
            out.push_back(const_cast<char*>(s.c_str()));
        out.push_back(nullptr);
        return out;
    };
    std::vector<char*> argv = pointers(args), envp = pointers(variables);

    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    Fd out(open(outputPath_.c_str(), flags, 0644));
    Fd err(errorPath_.empty() ? -1 : open(errorPath_.c_str(), flags, 0644));
    int p[2] = {-1, -1};
    if (input && pipe2(p, O_CLOEXEC) != 0)
        return false;
    Fd in(input ? p[0] : open("/dev/null", O_RDONLY | O_CLOEXEC)), feed(input ? p[1] : -1);
    // A successful exec closes the write end; a failed one writes its errno there.
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    Fd failedRead(p[0]), failedWrite(p[1]);
    if (out.fd < 0 || in.fd < 0 || (!errorPath_.empty() && err.fd < 0))
        return false;
    const int errFd = err.fd >= 0 ? err.fd : out.fd;
    // A child that died must fail Write, not end the test.
    if (input)
        std::signal(SIGPIPE, SIG_IGN);

    pid_ = fork();
    if (pid_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::signal(SIGPIPE, SIG_DFL);
        if (chdir(workDir_.c_str()) == 0 && dup2(in.fd, 0) == 0 && dup2(out.fd, 1) == 1 && dup2(errFd, 2) == 2)
            execvpe(argv[0], argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] ssize_t n = write(failedWrite.fd, &error, sizeof error);
        _exit(127);
    }
    if (pid_ < 0)
        return false;
    close(failedWrite.Release());
    int error = 0;
    if (read(failedRead.fd, &error, sizeof error) > 0) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }
    input_ = feed.Release();
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool ChildProcess::Write(const std::string& text)
{
    return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::Ended(int status)
{
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled;
    pid_ = -1;
    if (pidFd_ >= 0)
        close(pidFd_);
    pidFd_ = -1;
}

bool ChildProcess::Running()
{
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_)
        Ended(status);
    return pid_ > 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return exitCode_;
    // The process descriptor turns readable when the child ends.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int ready;
    do {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{pidFd_, POLLIN, 0};
        ready = poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 && Running()) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        Ended(status);
        return exitCode_ = kTimedOut;
    }
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
        Ended(status);
    return exitCode_;
}

int ChildProcess::Stop(std::chrono::milliseconds timeout)
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    return Wait(timeout);
}

int ChildProcess::Kill(std::chrono::milliseconds timeout)
{
    if (pid_ > 0)
        kill(pid_, SIGKILL);
    return Wait(timeout);
}

std::string ChildProcess::Output() const { return ReadFile(outputPath_); }

std::string ChildProcess::Errors() const { return ReadFile(errorPath_); }

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
{
    return WaitForAnyOutput({text}, timeout);
}

bool ChildProcess::WaitForAnyOutput(const std::vector<std::string>& texts, std::chrono::milliseconds timeout) const
{
    return WaitFor(
        [&] {
            const std::string output = Output();
            for (const auto& text : texts)
                if (output.find(text) != std::string::npos)
                    return true;
            return false;
        },
        timeout, std::chrono::milliseconds(20));
}

std::string ChildProcess::Log() const
{
    std::ostringstream out;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ignored)) {
        std::string text = ReadFile(entry.path().string());
        if (text.size() > 6000)
            text = text.substr(text.size() - 6000);
        out << "--- " << entry.path().filename().string() << "\n" << text << "\n";
    }
    return out.str();
}

} // namespace testsupport
