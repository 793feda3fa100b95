#include "tests/support/ControlFlood.h"

#include "tests/support/Loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

class Connection
{
public:
    explicit Connection(int port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = LoopbackAddress(port);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Connection()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Open() const { return fd_ >= 0; }
    bool Send(const std::string& bytes)
    {
        size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return fd_ >= 0;
    }
    // The next line; false on timeout or the end of the connection (then Ended()).
    bool Line(std::string& line, std::chrono::milliseconds timeout)
    {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return true;
            }
            if (!Read(deadline))
                return false;
        }
    }
    // Reads and drops whatever comes until the server closes; true when it did within timeout.
    bool WaitEnd(std::chrono::milliseconds timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (!ended_ && Read(deadline))
            buffer_.clear();
        return ended_;
    }
    bool Ended() const { return ended_; }

private:
    bool Read(Clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (fd_ < 0 || ended_ || left <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool ended_ = false;
    std::string buffer_;
};

std::string LoginRequest(int id, const std::string& user, const std::string& password)
{
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"login","params":{"username":")" + user +
           R"(","password":")" + password + "\"}}\n";
}

} // namespace

GreedyResult FloodWithoutReading(int port, const std::string& user, const std::string& password, size_t maxBytes)
{
    GreedyResult result;
    Connection c(port);
    std::string answer;
    if (!c.Send(LoginRequest(1, user, password)) || !c.Line(answer, std::chrono::seconds(5)))
        return result;
    result.loggedIn = answer.find("\"result\":true") != std::string::npos;
    const std::string request = R"({"jsonrpc":"2.0","id":2,"method":"toDialable","params":{"number":"+7 (495) 1"}})"
                                "\n";
    std::string chunk;
    while (chunk.size() < 64 * 1024)
        chunk += request;
    while (result.sent < maxBytes && c.Send(chunk))
        result.sent += chunk.size();
    result.dropped = c.WaitEnd(std::chrono::seconds(10));
    return result;
}

int SilentCrowd(int port, int count, std::chrono::milliseconds timeout)
{
    std::vector<std::unique_ptr<Connection>> crowd;
    for (int i = 0; i < count; ++i)
        crowd.push_back(std::make_unique<Connection>(port));
    auto deadline = Clock::now() + timeout;
    int closed = 0;
    for (auto& c : crowd) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        closed += c->Open() && c->WaitEnd(std::max(left, std::chrono::milliseconds(1))) ? 1 : 0;
    }
    return closed;
}

GuessResult GuessPasswords(int port, const std::string& user, int count, std::chrono::milliseconds answerTimeout)
{
    GuessResult result;
    Connection c(port);
    std::string guesses;
    for (int i = 0; i < count; ++i)
        guesses += LoginRequest(i + 1, user, "guess" + std::to_string(i));
    if (!c.Send(guesses))
        return result;
    std::string line;
    while (c.Line(line, answerTimeout))
        ++result.answers;
    result.dropped = c.Ended() || c.WaitEnd(answerTimeout);
    return result;
}

bool ClosedUnasked(int port, std::chrono::milliseconds timeout)
{
    Connection c(port);
    return c.Open() && c.WaitEnd(timeout);
}

} // namespace testsupport
