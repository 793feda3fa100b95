#include "platform/pbxcontrol/NorComComponent.h"

#include "platform/Automation.h"
#include "platform/Log.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaObject>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using platform::Debug;
using platform::Error;
using platform::Log;
using platform::Notice;
using platform::Warning;
namespace protocol = pbxcontrol;
namespace param = pbxcontrol::param;

struct Reply
{
    bool ok = false;
    QJsonValue result;
    int errorCode = 0;
    QString errorMessage;
};

// The requests the component makes itself when a connection opens; their answers are handled on the
// reader thread.
enum class OwnRequest { None, Login, ClientType, Reopen };

struct Pending
{
    quint64 connection = 0;
    bool done = false;
    Reply reply;
    OwnRequest own = OwnRequest::None;
    QString context;
};

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// A non-blocking TCP connection to host:port with TCP_NODELAY, or -1.
int connectTo(const std::string& host, quint16 port, int timeoutMs)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int result = -1;
    for (addrinfo* a = found; a && result < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, remainingMs(deadline)) == 1) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                rc = err == 0 ? 0 : -1;
            }
        }
        if (rc == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            result = fd;
        } else {
            close(fd);
        }
    }
    freeaddrinfo(found);
    return result;
}

// Writes all of data before the deadline; false on error, a closed peer or the deadline.
bool sendAll(int fd, const QByteArray& data, Clock::time_point deadline)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int wait = remainingMs(deadline);
            if (wait == 0 || poll(&p, 1, wait) != 1 || (p.revents & (POLLERR | POLLHUP)))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

bool parseServer(const QString& server, std::string& host, quint16& port)
{
    QString text = server.trimmed();
    port = protocol::kDefaultPort;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    // "[::1]:7577" and "host:7577" carry a port; a bare IPv6 address has more than one colon.
    if (colon > 0 && (text.count(QLatin1Char(':')) == 1 || text.at(colon - 1) == QLatin1Char(']'))) {
        bool ok = false;
        const uint value = text.mid(colon + 1).toUInt(&ok);
        if (!ok || value == 0 || value > 65535)
            return false;
        port = quint16(value);
        text = text.left(colon);
    }
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    host = text.toStdString();
    return !host.empty();
}

} // namespace

class NorComComponent::Session
{
public:
    explicit Session(NorComComponent* owner) : owner_(owner) {}

    ~Session()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            if (fd_ >= 0)
                shutdown(fd_, SHUT_RDWR);
        }
        changed_.notify_all();
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            close(fd_);
    }

    bool connect(const QString& server, const QString& username, const QString& password)
    {
        std::string host;
        quint16 port = 0;
        if (!parseServer(server, host, port)) {
            Log(Error, "NorCom: not a server address: ", server.toStdString());
            return false;
        }
        std::lock_guard<std::mutex> serial(lifecycle_);
        std::unique_lock<std::mutex> lock(mutex_);
        const bool same = haveTarget_ && host == host_ && port == port_ && username == username_ &&
                          password == password_;
        if (same && loggedIn_)
            return true;
        if (!same) {
            host_ = host;
            port_ = port;
            username_ = username;
            password_ = password;
            haveTarget_ = true;
            if (fd_ >= 0)
                shutdown(fd_, SHUT_RDWR); // the reader drops it and connects to the new target
        }
        wakeNow_ = true;
        if (!reader_.joinable())
            reader_ = std::thread([this] { run(); });
        const quint64 before = attempts_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs_),
                          [&] { return loggedIn_ || attempts_ > before; });
        return loggedIn_;
    }

    // Ends the reader thread before it returns: whatever the reader logs is logged by then.
    void disconnect()
    {
        std::lock_guard<std::mutex> serial(lifecycle_);
        std::thread reader;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            haveTarget_ = false;
            clientType_.clear();
            lines_.clear();
            logins_ = 0;
            if (fd_ >= 0)
                shutdown(fd_, SHUT_RDWR);
            quit_ = true;
            reader.swap(reader_);
            changed_.notify_all();
        }
        if (reader.joinable())
            reader.join();
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = false;
    }

    // One request and its answer; a failed Reply when not connected, on error or after the timeout.
    Reply call(const char* method, const QJsonObject& params)
    {
        const Clock::time_point sentAt = Clock::now();
        const Clock::time_point deadline = sentAt + std::chrono::milliseconds(timeout());
        auto pending = std::make_shared<Pending>();
        qint64 id = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fd_ < 0 || stopping_)
                return Reply{};
            id = nextId_++;
            pending->connection = connection_;
            pending_[id] = pending;
        }
        if (!write(id, method, params, pending->connection, deadline)) {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.erase(id);
            return Reply{};
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_until(lock, deadline, [&] { return pending->done; });
        if (pending->done)
            return pending->reply;
        pending_.erase(id);
        // Nothing at all came back while we waited: the server is gone without closing.
        if (fd_ >= 0 && connection_ == pending->connection && lastReceived_ < sentAt) {
            Log(Warning, "NorCom: the control server did not answer ", method, " in time, reconnecting");
            shutdown(fd_, SHUT_RDWR);
        } else {
            Log(Warning, "NorCom: no answer to ", method, " in time");
        }
        return Reply{};
    }

    void rememberClientType(const QString& type)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientType_ = type;
    }

    void rememberLine(const QString& name, int id)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& line : lines_) {
            if (line.first == name) {
                line.second = id;
                return;
            }
        }
        lines_.emplace_back(name, id);
    }

    bool loggedIn() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return loggedIn_;
    }

    int timeout() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeoutMs_;
    }

    void setTimeout(int ms)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timeoutMs_ = ms > 0 ? ms : kCallTimeoutMs;
    }

    void setReconnectDelays(int firstMs, int maxMs)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        firstDelayMs_ = firstMs > 0 ? firstMs : kFirstReconnectDelayMs;
        maxDelayMs_ = maxMs >= firstDelayMs_ ? maxMs : firstDelayMs_;
    }

private:
    bool write(qint64 id, const char* method, const QJsonObject& params, quint64 connection,
               Clock::time_point deadline)
    {
        QJsonObject request{{"jsonrpc", protocol::kVersion},
                            {"id", id},
                            {"method", QString::fromLatin1(method)},
                            {"params", params}};
        QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact);
        line.append(protocol::kLineEnd);
        std::lock_guard<std::mutex> writing(writeMutex_);
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (connection_ != connection || fd_ < 0)
                return false;
            fd = fd_;
        }
        // The reader closes a socket only while holding writeMutex_, so fd stays ours here.
        return sendAll(fd, line, deadline);
    }

    void run();
    void openSession(int fd);
    void dropConnection(const char* why);
    void handleLine(const QByteArray& text);
    void handleOwnReply(OwnRequest own, const Reply& reply, const QString& context);
    void waitBeforeRetry();

    NorComComponent* owner_;
    std::mutex lifecycle_;  // connect and disconnect, one at a time: they start and end the reader
    mutable std::mutex mutex_;
    std::mutex writeMutex_; // taken before mutex_, never after it
    std::condition_variable changed_;
    std::thread reader_;

    // Guarded by mutex_.
    bool stopping_ = false;
    bool quit_ = false; // the reader ends, the session goes on without one
    bool haveTarget_ = false;
    bool wakeNow_ = false;
    std::string host_;
    quint16 port_ = 0;
    QString username_;
    QString password_;
    QString clientType_;
    std::vector<std::pair<QString, int>> lines_;
    int fd_ = -1;
    quint64 connection_ = 0;
    bool loggedIn_ = false;
    bool loginRefused_ = false;
    quint64 attempts_ = 0; // connection attempts that have come to an end, good or bad
    quint64 logins_ = 0;   // successful logins since Connect
    Clock::time_point loginDeadline_;
    Clock::time_point lastReceived_;
    qint64 nextId_ = 1;
    std::map<qint64, std::shared_ptr<Pending>> pending_;
    int timeoutMs_ = kCallTimeoutMs;
    int firstDelayMs_ = kFirstReconnectDelayMs;
    int maxDelayMs_ = kMaxReconnectDelayMs;
    int delayMs_ = kFirstReconnectDelayMs;
};

void NorComComponent::Session::run()
{
    QByteArray buffer;
    while (true) {
        int fd;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!haveTarget_ && fd_ >= 0) {
                lock.unlock();
                dropConnection("disconnected");
                continue;
            }
            changed_.wait(lock, [&] { return stopping_ || quit_ || haveTarget_; });
            if (stopping_ || quit_)
                return;
            fd = fd_;
        }
        if (fd < 0) {
            std::string host;
            quint16 port;
            int wait;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                host = host_;
                port = port_;
                wait = timeoutMs_;
            }
            fd = connectTo(host, port, wait);
            if (fd < 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++attempts_;
                }
                changed_.notify_all();
                Log(Debug, "NorCom: cannot reach the control server ", host, ":", int(port));
                waitBeforeRetry();
                continue;
            }
            buffer.clear();
            openSession(fd);
        }

        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) {
            dropConnection("poll failed");
            continue;
        }
        if (ready > 0) {
            char chunk[16384];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                dropConnection("the control server closed the connection");
                continue;
            }
            if (n > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lastReceived_ = Clock::now();
                }
                buffer.append(chunk, n);
                qsizetype start = 0;
                for (qsizetype end; (end = buffer.indexOf(protocol::kLineEnd, start)) >= 0; start = end + 1)
                    handleLine(buffer.mid(start, end - start));
                buffer.remove(0, start);
                if (buffer.size() > protocol::kMaxServerLine) {
                    dropConnection("a line from the control server is too long");
                    continue;
                }
            }
        }
        bool refused, late;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            refused = loginRefused_;
            late = !loggedIn_ && Clock::now() > loginDeadline_;
        }
        if (refused)
            dropConnection("the control server refused the login");
        else if (late)
            dropConnection("the control server did not answer the login");
    }
}

// Sends login, the client type and every line opened so far in one go; the server answers in order.
void NorComComponent::Session::openSession(int fd)
{
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::vector<std::pair<qint64, QJsonObject>> requests;
    quint64 connection;
    Clock::time_point deadline;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd_ = fd;
        connection = ++connection_;
        loggedIn_ = false;
        loginRefused_ = false;
        lastReceived_ = Clock::now();
        loginDeadline_ = lastReceived_ + std::chrono::milliseconds(timeoutMs_);
        deadline = loginDeadline_;
        auto add = [&](const char* method, QJsonObject params, OwnRequest own, const QString& context) {
            auto pending = std::make_shared<Pending>();
            pending->connection = connection;
            pending->own = own;
            pending->context = context;
            const qint64 id = nextId_++;
            pending_[id] = pending;
            requests.emplace_back(id, QJsonObject{{"jsonrpc", protocol::kVersion},
                                                  {"id", id},
                                                  {"method", QString::fromLatin1(method)},
                                                  {"params", params}});
        };
        add(protocol::method::kLogin,
            QJsonObject{{param::kUsername, username_}, {param::kPassword, password_}}, OwnRequest::Login,
            QString());
        if (!clientType_.isEmpty())
            add(protocol::method::kSetClientType, QJsonObject{{param::kType, clientType_}},
                OwnRequest::ClientType, clientType_);
        for (const auto& line : lines_)
            add(protocol::method::kOpenLine, QJsonObject{{param::kName, line.first}}, OwnRequest::Reopen,
                line.first);
    }
    QByteArray data;
    for (const auto& request : requests) {
        data += QJsonDocument(request.second).toJson(QJsonDocument::Compact);
        data += protocol::kLineEnd;
    }
    if (!sendAll(fd, data, deadline))
        shutdown(fd, SHUT_RDWR); // the reader sees the end and drops it
}

void NorComComponent::Session::dropConnection(const char* why)
{
    bool wasLoggedIn, retry;
    {
        std::lock_guard<std::mutex> writing(writeMutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0)
            return;
        close(fd_);
        fd_ = -1;
        wasLoggedIn = loggedIn_;
        retry = haveTarget_ && !stopping_;
        if (!loggedIn_)
            ++attempts_;
        loggedIn_ = false;
        for (auto& entry : pending_) {
            entry.second->done = true;
            entry.second->reply = Reply{};
        }
        pending_.clear();
    }
    changed_.notify_all();
    // A connection closed on purpose is not retried, so nothing to warn of.
    if (wasLoggedIn && retry)
        Log(Warning, "NorCom: ", why, ", reconnecting");
    else
        Log(Debug, "NorCom: ", why);
    if (retry)
        waitBeforeRetry();
}

void NorComComponent::Session::waitBeforeRetry()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const int delay = delayMs_;
    changed_.wait_for(lock, std::chrono::milliseconds(delay), [&] { return stopping_ || quit_ || wakeNow_; });
    if (wakeNow_) {
        wakeNow_ = false;
        delayMs_ = firstDelayMs_;
    } else {
        delayMs_ = std::min(delay * 2, maxDelayMs_);
    }
}

void NorComComponent::Session::handleLine(const QByteArray& text)
{
    if (text.trimmed().isEmpty())
        return;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        Log(Warning, "NorCom: ignored a malformed line from the control server");
        return;
    }
    const QJsonObject message = document.object();

    if (message.contains(QLatin1String("method"))) {
        const QJsonObject params = message.value(QLatin1String("params")).toObject();
        const QJsonValue line = params.value(QLatin1String(param::kLine));
        const QJsonValue call = params.value(QLatin1String(param::kCall));
        const QJsonValue state = params.value(QLatin1String(param::kState));
        if (message.value(QLatin1String("method")).toString() != QLatin1String(protocol::kCallStateChanged) ||
            !line.isDouble() || !call.isDouble() || !state.isDouble()) {
            Log(Debug, "NorCom: ignored a notification ", message.value(QLatin1String("method")).toString().toStdString());
            return;
        }
        const int l = line.toInt(), c = call.toInt(), s = state.toInt();
        NorComComponent* owner = owner_;
        // Delivered in the component's own thread; dropped if the component is gone by then.
        QMetaObject::invokeMethod(
            owner, [owner, l, c, s] { emit owner->CallStateChangedInt(l, c, s); }, Qt::QueuedConnection);
        return;
    }

    const QJsonValue idValue = message.value(QLatin1String("id"));
    if (!idValue.isDouble()) {
        const QJsonObject err = message.value(QLatin1String("error")).toObject();
        Log(Warning, "NorCom: the control server reported ", err.value(QLatin1String("code")).toInt(), " ",
            err.value(QLatin1String("message")).toString().toStdString());
        return;
    }
    Reply reply;
    if (message.contains(QLatin1String("result"))) {
        reply.ok = true;
        reply.result = message.value(QLatin1String("result"));
    } else {
        const QJsonObject err = message.value(QLatin1String("error")).toObject();
        reply.errorCode = err.value(QLatin1String("code")).toInt();
        reply.errorMessage = err.value(QLatin1String("message")).toString();
    }

    std::unique_lock<std::mutex> lock(mutex_);
    auto it = pending_.find(qint64(idValue.toDouble()));
    if (it == pending_.end())
        return; // the caller gave up waiting
    std::shared_ptr<Pending> pending = it->second;
    pending_.erase(it);
    if (pending->own != OwnRequest::None)
        handleOwnReply(pending->own, reply, pending->context);
    pending->reply = std::move(reply);
    pending->done = true;
    lock.unlock();
    changed_.notify_all();
}

// Called with mutex_ held.
void NorComComponent::Session::handleOwnReply(OwnRequest own, const Reply& reply, const QString& context)
{
    switch (own) {
    case OwnRequest::Login:
        if (reply.ok && reply.result.toBool()) {
            loggedIn_ = true;
            delayMs_ = firstDelayMs_;
            ++attempts_;
            Log(Notice, "NorCom: logged in to the control server ", host_, ":", int(port_));
            // A login after the session's first: the connection was lost, and the exchange may have
            // restarted and forgotten what it knew of us.
            if (++logins_ > 1) {
                NorComComponent* owner = owner_;
                QMetaObject::invokeMethod(
                    owner, [owner] { emit owner->SessionRestored(); }, Qt::QueuedConnection);
            }
        } else {
            loginRefused_ = true;
            Log(Error, "NorCom: the control server refused the login of ", username_.toStdString(), ": ",
                reply.errorMessage.toStdString());
        }
        break;
    case OwnRequest::ClientType:
        if (!reply.ok)
            Log(Error, "NorCom: the control server refused the client type ", context.toStdString());
        break;
    case OwnRequest::Reopen: {
        const int id = reply.ok ? reply.result.toInt() : 0;
        for (const auto& line : lines_) {
            if (line.first != context)
                continue;
            if (id == 0)
                Log(Error, "NorCom: the control server did not re-open the line ", context.toStdString());
            else if (id != line.second)
                Log(Warning, "NorCom: the line ", context.toStdString(), " came back under id ", id);
        }
        break;
    }
    case OwnRequest::None:
        break;
    }
}

NorComComponent::NorComComponent(QObject* parent)
    : QObject(parent), session_(std::make_unique<Session>(this))
{
}

NorComComponent::~NorComComponent() = default;

bool NorComComponent::Connect(const QString& server, const QString& username, const QString& password)
{
    return session_->connect(server, username, password);
}

void NorComComponent::Disconnect() { session_->disconnect(); }

bool NorComComponent::SetClientType(const QString& type)
{
    const Reply reply = session_->call(protocol::method::kSetClientType, QJsonObject{{param::kType, type}});
    if (reply.ok)
        session_->rememberClientType(type);
    return reply.ok;
}

int NorComComponent::OpenLine(const QString& linename)
{
    const Reply reply = session_->call(protocol::method::kOpenLine, QJsonObject{{param::kName, linename}});
    const int id = reply.ok && reply.result.isDouble() ? reply.result.toInt() : 0;
    if (id != 0)
        session_->rememberLine(linename, id);
    return id;
}

int NorComComponent::GetCOS(int line_id)
{
    const Reply reply = session_->call(protocol::method::kGetCOS, QJsonObject{{param::kLine, line_id}});
    return reply.ok && reply.result.isDouble() ? reply.result.toInt() : 0;
}

bool NorComComponent::SetCOS(int line_id, int COS)
{
    const QJsonObject params{{param::kLine, line_id}, {param::kCos, COS}};
    return session_->call(protocol::method::kSetCOS, params).ok;
}

QString NorComComponent::ToDialable(const QString& phone_in)
{
    const Reply reply =
        session_->call(protocol::method::kToDialable, QJsonObject{{param::kNumber, phone_in}});
    return reply.ok && reply.result.isString() ? reply.result.toString() : phone_in;
}

bool NorComComponent::isLoggedIn() const { return session_->loggedIn(); }

void NorComComponent::setCallTimeout(int ms) { session_->setTimeout(ms); }

void NorComComponent::setReconnectDelays(int firstMs, int maxMs) { session_->setReconnectDelays(firstMs, maxMs); }

void RegisterNorComComponent()
{
    ComponentRegistry::registerClass(QString::fromLatin1(protocol::kComponentClassId),
                                     [] { return std::make_unique<NorComComponent>(); });
}
