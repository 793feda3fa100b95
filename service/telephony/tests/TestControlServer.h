// A small control server of the exchange's protocol on 127.0.0.1, run on a thread of its own, with
// switches for the ways a real one fails: silence, garbage, a connection closed in the middle of an answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestControlServer
{
public:
    TestControlServer(std::string user = "norvel", std::string password = "secret");
    ~TestControlServer();

    // Listens on 127.0.0.1:port (0: a free port). Starting again after stop() keeps the lines.
    bool start(uint16_t port = 0);
    // Closes the listener and every connection.
    void stop();
    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // openLine(name) hands out the ids added for name in order, the last one ever after.
    void addLine(const std::string& name, int id, int cos, int state = 0);
    int cosOf(int id) const;
    // Sets a line's state and tells every logged-in client.
    void setState(int line, int call, int state);
    // Changes a line's state without telling anyone (as while the service is away).
    void setStateQuietly(int line, int state);

    void setSilent(bool silent);
    // The next answer is cut in the middle and its connection closed.
    void closeMidAnswerOnce();
    // Raw bytes to every open connection.
    void sendRaw(const std::string& bytes);

    int requests(const std::string& method) const;
    int logins() const;
    int connections() const;
    std::vector<std::string> openedNames() const;
    // Waits until pred() holds (checked under the server's lock), up to timeoutMs.
    template <typename Pred> bool waitFor(Pred pred, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
    }

private:
    struct Client
    {
        int fd;
        bool loggedIn = false;
        std::string buffer;
    };
    struct Line
    {
        std::string name;
        int cos;
        int state;
    };

    void run();
    void handle(Client& client, const std::string& text);
    void send(Client& client, const std::string& json);
    void closeClient(size_t index);

    const std::string user_;
    const std::string password_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::vector<Client> clients_;
    std::map<int, Line> lines_;
    std::map<std::string, std::deque<int>> ids_;
    std::map<std::string, int> requests_;
    std::vector<std::string> opened_;
    int logins_ = 0;
    bool silent_ = false;
    bool cutNext_ = false;
};
