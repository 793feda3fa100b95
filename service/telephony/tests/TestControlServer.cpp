#include "service/telephony/tests/TestControlServer.h"

#include "platform/pbxcontrol/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace protocol = pbxcontrol;
namespace param = pbxcontrol::param;

std::string compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + protocol::kLineEnd;
}

std::string answer(const QJsonValue& id, const QJsonValue& result)
{
    return compact(QJsonObject{{"jsonrpc", protocol::kVersion}, {"id", id}, {"result", result}});
}

std::string failure(const QJsonValue& id, int code, const char* message)
{
    return compact(QJsonObject{{"jsonrpc", protocol::kVersion},
                               {"id", id},
                               {"error", QJsonObject{{"code", code}, {"message", message}}}});
}

std::string stateNotification(int line, int call, int state)
{
    return compact(QJsonObject{
        {"jsonrpc", protocol::kVersion},
        {"method", protocol::kCallStateChanged},
        {"params", QJsonObject{{param::kLine, line}, {param::kCall, call}, {param::kState, state}}}});
}

// The exchange's dial plan is its own; the test needs only one rule of it.
std::string dialable(std::string number)
{
    std::string out;
    for (char c : number)
        if (c != ' ' && c != '-' && c != '(' && c != ')')
            out += c;
    if (out.rfind("+7", 0) == 0)
        out = "8" + out.substr(2);
    return out;
}

} // namespace

TestControlServer::TestControlServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password))
{
}

TestControlServer::~TestControlServer() { stop(); }

bool TestControlServer::start(uint16_t port)
{
    stop();
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 16) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (pipe2(wake_, O_CLOEXEC) != 0)
        return false;
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void TestControlServer::stop()
{
    if (!thread_.joinable())
        return;
    running_ = false;
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    while (!clients_.empty())
        closeClient(clients_.size() - 1);
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
    listener_ = wake_[0] = wake_[1] = -1;
    changed_.notify_all();
}

void TestControlServer::addLine(const std::string& name, int id, int cos, int state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[id] = Line{name, cos, state};
    ids_[name].push_back(id);
}

int TestControlServer::cosOf(int id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lines_.find(id);
    return it == lines_.end() ? -1 : it->second.cos;
}

void TestControlServer::setState(int line, int call, int state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lines_.find(line);
    if (it != lines_.end())
        it->second.state = state;
    for (Client& client : clients_)
        if (client.loggedIn)
            send(client, stateNotification(line, call, state));
}

void TestControlServer::setStateQuietly(int line, int state)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_[line].state = state;
}

void TestControlServer::setSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

void TestControlServer::closeMidAnswerOnce()
{
    std::lock_guard<std::mutex> lock(mutex_);
    cutNext_ = true;
}

void TestControlServer::sendRaw(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Client& client : clients_)
        send(client, bytes);
}

int TestControlServer::requests(const std::string& method) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = requests_.find(method);
    return it == requests_.end() ? 0 : it->second;
}

int TestControlServer::logins() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return logins_;
}

int TestControlServer::connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return int(clients_.size());
}

std::vector<std::string> TestControlServer::openedNames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
}

void TestControlServer::send(Client& client, const std::string& json)
{
    size_t sent = 0;
    while (sent < json.size()) {
        const ssize_t n = ::send(client.fd, json.data() + sent, json.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += size_t(n);
    }
}

void TestControlServer::closeClient(size_t index)
{
    close(clients_[index].fd);
    clients_.erase(clients_.begin() + long(index));
}

void TestControlServer::run()
{
    while (running_) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Client& client : clients_)
                fds.push_back({client.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                clients_.push_back(Client{fd, false, {}});
            }
        }
        // Clients are matched by descriptor: the list may have changed since the poll.
        for (size_t f = 2; f < fds.size(); ++f) {
            if (!(fds[f].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            size_t i = 0;
            while (i < clients_.size() && clients_[i].fd != fds[f].fd)
                ++i;
            if (i == clients_.size())
                continue;
            char chunk[65536];
            const ssize_t n = recv(clients_[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) {
                closeClient(i);
                continue;
            }
            Client& client = clients_[i];
            client.buffer.append(chunk, size_t(n));
            for (size_t end; (end = client.buffer.find(protocol::kLineEnd)) != std::string::npos;) {
                const std::string text = client.buffer.substr(0, end);
                client.buffer.erase(0, end + 1);
                handle(client, text);
            }
        }
        changed_.notify_all();
    }
}

// Called with mutex_ held.
void TestControlServer::handle(Client& client, const std::string& text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        send(client, failure(QJsonValue::Null, protocol::kParseError, "Parse error"));
        return;
    }
    const QJsonObject request = document.object();
    const QJsonValue id = request.value("id");
    const std::string method = request.value("method").toString().toStdString();
    const QJsonObject params = request.value("params").toObject();
    ++requests_[method];
    if (silent_)
        return;

    std::string reply;
    std::string followUp;
    if (method == protocol::method::kLogin) {
        client.loggedIn = params.value(param::kUsername).toString().toStdString() == user_ &&
                          params.value(param::kPassword).toString().toStdString() == password_;
        if (client.loggedIn)
            ++logins_;
        reply = client.loggedIn ? answer(id, true) : failure(id, protocol::kNotAuthorised, "not authorised");
    } else if (!client.loggedIn) {
        reply = failure(id, protocol::kNotAuthorised, "not authorised");
    } else if (method == protocol::method::kSetClientType) {
        reply = params.value(param::kType).toString() == protocol::kCallbackClientType
                    ? answer(id, true)
                    : failure(id, protocol::kInvalidParams, "invalid params");
    } else if (method == protocol::method::kOpenLine) {
        const std::string name = params.value(param::kName).toString().toStdString();
        opened_.push_back(name);
        auto it = ids_.find(name);
        int line = 0;
        if (it != ids_.end() && !it->second.empty()) {
            line = it->second.front();
            if (it->second.size() > 1)
                it->second.pop_front();
        }
        reply = answer(id, line);
        if (line != 0)
            followUp = stateNotification(line, 0, lines_[line].state);
    } else if (method == protocol::method::kGetCOS || method == protocol::method::kSetCOS) {
        auto it = lines_.find(params.value(param::kLine).toInt());
        if (it == lines_.end()) {
            reply = failure(id, protocol::kNoSuchLine, "no such line");
        } else if (method == protocol::method::kGetCOS) {
            reply = answer(id, it->second.cos);
        } else if (params.value(param::kCos).toInt() < 0) {
            reply = failure(id, protocol::kInvalidParams, "invalid params");
        } else {
            it->second.cos = params.value(param::kCos).toInt();
            reply = answer(id, true);
        }
    } else if (method == protocol::method::kToDialable) {
        reply = answer(
            id, QString::fromStdString(dialable(params.value(param::kNumber).toString().toStdString())));
    } else {
        reply = failure(id, protocol::kMethodNotFound, "Method not found");
    }

    if (cutNext_) {
        cutNext_ = false;
        send(client, reply.substr(0, reply.size() / 2));
        shutdown(client.fd, SHUT_RDWR); // the poll loop sees the end and closes it
        return;
    }
    send(client, reply + followUp);
}
