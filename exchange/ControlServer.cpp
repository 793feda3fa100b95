#include "exchange/ControlServer.h"

#include "platform/dialplan/DialPlan.h"

#include "exchange/Log.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace exchange {

namespace {

namespace protocol = pbxcontrol;
namespace param = pbxcontrol::param;
using protocol::kInvalidParams;
using protocol::kInvalidRequest;
using protocol::kMaxRequestLine;
using protocol::kMethodNotFound;
using protocol::kNoSuchLine;
using protocol::kNotAuthorised;
using protocol::kParseError;

// An integer parameter: a JSON number with no fraction.
bool IntParam(const QJsonObject& params, const char* name, int& value)
{
    QJsonValue v = params.value(QLatin1String(name));
    if (!v.isDouble())
        return false;
    double d = v.toDouble();
    if (d != static_cast<double>(static_cast<int>(d)))
        return false;
    value = static_cast<int>(d);
    return true;
}

// What a client wrote, fit for one log line: cut, with a mark that it was.
std::string Cut(const QString& text, int max = 32)
{
    if (text.size() <= max)
        return text.toStdString();
    return text.left(max).toStdString() + "...(" + std::to_string(text.size()) + " characters)";
}

// Requests a client may have refused before it has logged in; then it goes.
constexpr int kMaxRefusalsBeforeLogin = 16;
// A refused login is answered this late, doubling with each failure from the address.
constexpr int kFirstLoginDelayMs = 250;
constexpr int kMaxLoginDelayMs = 4000;
// Refusals written to the log per window; the rest are counted.
constexpr int kRefusalsPerWindow = 10;
constexpr auto kRefusalWindow = std::chrono::seconds(10);

} // namespace

ControlServer::ControlServer(LineTable& lines, const dialplan::DialPlan& plan, const std::string& username,
                             const std::string& password, const ControlLimits& limits, QObject* parent)
    : QObject(parent), lines_(lines), plan_(plan), username_(QString::fromStdString(username)),
      password_(QString::fromStdString(password)), limits_(limits), server_(this)
{
    connect(&server_, &QTcpServer::newConnection, this, &ControlServer::OnConnection);
}

ControlServer::~ControlServer()
{
    // The sockets are the listening server's children and go with it; they report nothing more.
    for (auto& [socket, client] : clients_)
        socket->disconnect(this);
}

bool ControlServer::Listen(const QHostAddress& address, quint16 port)
{
    if (!server_.listen(address, port)) {
        Log(Error, "control: cannot listen on port ", port, ": " + server_.errorString().toStdString());
        return false;
    }
    return true;
}

quint16 ControlServer::Port() const { return server_.serverPort(); }

void ControlServer::OnConnection()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        QString address = socket->peerAddress().toString();
        int open = 0, waiting = 0;
        Client* oldest = nullptr;
        for (auto& [s, c] : clients_) {
            if (c->dropped)
                continue;
            ++open;
            if (!c->loggedIn) {
                ++waiting;
                if (!oldest || c->serial < oldest->serial)
                    oldest = c.get();
            }
        }
        if (open >= limits_.maxClients || Locked(address)) {
            LogRefusal("control: connection from " + address.toStdString() +
                       (open >= limits_.maxClients ? " refused: too many clients" : " refused: too many wrong logins"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A newcomer is worth more than the connection that has waited longest without logging in:
        // idle connections cannot keep the service's component out.
        if (oldest && waiting >= limits_.maxUnauthenticated)
            Drop(*oldest, "it made way for a new connection before logging in");
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->address = address;
        client->serial = ++nextSerial_;
        clients_[socket] = std::move(client);
        // Qt reads no further than this ahead of us, so a client's input waits in the network
        // rather than in our memory; a line over the limit still shows as one.
        socket->setReadBufferSize(kMaxRequestLine + 1);
        // A reply must not wait behind an unacknowledged notification for the client's delayed ACK
        // (40 ms a call under load, with the callback logic waiting for the reply).
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnGone(socket); });
        QTimer::singleShot(std::chrono::seconds(limits_.loginTimeoutSeconds), socket, [this, socket] {
            auto it = clients_.find(socket);
            if (it != clients_.end() && !it->second->loggedIn && !it->second->dropped)
                Drop(*it->second, "it did not log in in time");
        });
        // A line per connection at Debug only: a flood of them is no flood of the log.
        Log(Debug, "control: client ", address.toStdString() + ":", socket->peerPort(), " connected");
    }
}

void ControlServer::OnGone(QTcpSocket* socket)
{
    auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    Log(it->second->loggedIn ? Informational : Debug, "control: client ", socket->peerPort(), " gone");
    clients_.erase(it);
    socket->deleteLater();
}

void ControlServer::Drop(Client& client, const std::string& why)
{
    if (client.dropped)
        return;
    client.dropped = true;
    client.buffer.clear();
    LogRefusal("control: client " + client.address.toStdString() + ":" + std::to_string(client.socket->peerPort()) +
               " dropped: " + why);
    // Not now: the caller may still hold the client, which the socket's end takes away.
    QTcpSocket* socket = client.socket;
    QMetaObject::invokeMethod(
        socket,
        [this, socket] {
            socket->flush(); // what the kernel takes now, the last answer among it; no more
            socket->abort();
            OnGone(socket); // when abort reported nothing, the socket never was connected
        },
        Qt::QueuedConnection);
}

bool ControlServer::Locked(const QString& address)
{
    auto it = failures_.find(address);
    if (it == failures_.end())
        return false;
    auto now = Clock::now();
    Failures& f = it->second;
    if (f.lockedUntil > now)
        return true;
    // A lock served, or failures long past, are forgotten.
    if (f.count >= limits_.loginFailures || now - f.last > std::chrono::seconds(limits_.lockoutSeconds))
        failures_.erase(it);
    return false;
}

void ControlServer::LogRefusal(const std::string& text)
{
    auto now = Clock::now();
    if (now - refusalWindow_ >= kRefusalWindow) {
        if (refusalsUnlogged_ > 0)
            Log(Notice, "control: ", refusalsUnlogged_, " more refusals not logged");
        refusalWindow_ = now;
        refusalsLogged_ = 0;
        refusalsUnlogged_ = 0;
    }
    if (refusalsLogged_ >= kRefusalsPerWindow) {
        ++refusalsUnlogged_;
        return;
    }
    ++refusalsLogged_;
    Log(Notice, text.size() > 300 ? text.substr(0, 300) + "..." : text);
}

void ControlServer::OnReadable(QTcpSocket* socket)
{
    auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    Client& client = *it->second;
    if (client.dropped) {
        socket->readAll(); // what arrives while the connection closes is not read
        return;
    }
    if (client.waiting)
        return; // read once the held answer has gone
    client.buffer += socket->readAll();
    int from = 0;
    while (!client.dropped && !client.waiting) {
        int newline = client.buffer.indexOf(protocol::kLineEnd, from);
        if (newline < 0 || newline - from > kMaxRequestLine)
            break;
        QByteArray line = client.buffer.mid(from, newline - from);
        from = newline + 1;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            Handle(client, line);
    }
    if (client.dropped)
        return;
    client.buffer.remove(0, from); // once: removing line by line would copy the rest every time
    if (!client.waiting && client.buffer.size() > kMaxRequestLine) {
        // Too long, or no end in sight: answer once and drop the client rather than buffer without
        // bound (what follows could not be told apart from the rest of the long line anyway).
        Fail(client, QJsonValue(), kInvalidRequest, QStringLiteral("Request too large"));
        socket->flush();
        Drop(client, "it sent a request over the size limit");
    }
}

void ControlServer::Send(Client& client, const QJsonObject& message)
{
    if (client.dropped || client.socket->state() != QAbstractSocket::ConnectedState)
        return;
    client.socket->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + protocol::kLineEnd);
    // A client that does not read its answers would have them pile up here without end.
    if (client.socket->bytesToWrite() > qint64(limits_.outputLimitKiB) * 1024)
        Drop(client, "it does not read what it is sent");
}

void ControlServer::Reply(Client& client, const QJsonValue& id, const QJsonValue& result)
{
    if (id.isUndefined())
        return; // a notification gets no answer
    Send(client, QJsonObject{{"jsonrpc", protocol::kVersion}, {"id", id}, {"result", result}});
}

void ControlServer::Fail(Client& client, const QJsonValue& id, int code, const QString& message)
{
    if (!client.loggedIn && ++client.refusals > kMaxRefusalsBeforeLogin) {
        Drop(client, "too many refused requests before logging in");
        return;
    }
    Send(client, QJsonObject{{"jsonrpc", protocol::kVersion},
                             {"id", id.isUndefined() ? QJsonValue() : id},
                             {"error", QJsonObject{{"code", code}, {"message", message}}}});
}

void ControlServer::SendState(Client& client, int line)
{
    LineTable::LineState s = lines_.StateOf(line);
    Send(client, QJsonObject{{"jsonrpc", protocol::kVersion},
                             {"method", protocol::kCallStateChanged},
                             {"params", QJsonObject{{param::kLine, line},
                                                    {param::kCall, s.call},
                                                    {param::kState, int(s.state)}}}});
}

void ControlServer::Notify(int line, int call, CallState state)
{
    QJsonObject message{
        {"jsonrpc", protocol::kVersion},
        {"method", protocol::kCallStateChanged},
        {"params", QJsonObject{{param::kLine, line}, {param::kCall, call}, {param::kState, int(state)}}}};
    for (auto& [socket, client] : clients_)
        if (client->loggedIn && client->lines.count(line))
            Send(*client, message);
}

void ControlServer::Login(Client& client, const QJsonValue& id, const QString& user, const QString& password)
{
    if (Locked(client.address)) {
        Fail(client, id, kNotAuthorised, QStringLiteral("Too many wrong logins; try again later"));
        Drop(client, "its address is refused after too many wrong logins");
        return;
    }
    if (user == username_ && password == password_) {
        failures_.erase(client.address);
        client.loggedIn = true;
        Log(Informational, "control: client ", client.address.toStdString() + ":", client.socket->peerPort(),
            " logged in");
        client.refusals = 0;
        Reply(client, id, true);
        return;
    }
    Failures& f = failures_[client.address];
    auto now = Clock::now();
    ++f.count;
    f.last = now;
    if (f.count >= limits_.loginFailures)
        f.lockedUntil = now + std::chrono::seconds(limits_.lockoutSeconds);
    LogRefusal("control: login of " + Cut(user) + " from " + client.address.toStdString() + " refused" +
               (f.count >= limits_.loginFailures ? "; the address is refused for a while" : ""));
    // The answer comes late and nothing else from this client is read meanwhile, so guesses come
    // no faster than the answers; the delay grows with the address's failures.
    int delay = std::min(kFirstLoginDelayMs << std::min(f.count - 1, 5), kMaxLoginDelayMs);
    client.waiting = true;
    QTcpSocket* socket = client.socket;
    QTimer::singleShot(delay, socket, [this, socket, id] {
        auto it = clients_.find(socket);
        if (it == clients_.end() || it->second->dropped)
            return;
        it->second->waiting = false;
        Fail(*it->second, id, kNotAuthorised, QStringLiteral("Not authorised"));
        OnReadable(socket); // what came meanwhile
    });
}

void ControlServer::Handle(Client& client, const QByteArray& text)
{
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        // Qt parses documents only: a bare value is good JSON but no request.
        bool value = !QJsonDocument::fromJson("[" + text + "]").isNull();
        Fail(client, QJsonValue(), value ? kInvalidRequest : kParseError,
             value ? QStringLiteral("Invalid Request") : QStringLiteral("Parse error"));
        return;
    }
    if (!doc.isObject()) {
        Fail(client, QJsonValue(), kInvalidRequest, QStringLiteral("Invalid Request"));
        return;
    }
    QJsonObject request = doc.object();
    QJsonValue id = request.value(QLatin1String("id"));
    if (!id.isUndefined() && !id.isString() && !id.isDouble() && !id.isNull()) {
        Fail(client, QJsonValue(), kInvalidRequest, QStringLiteral("Invalid Request"));
        return;
    }
    QJsonValue methodValue = request.value(QLatin1String("method"));
    QJsonValue paramsValue = request.value(QLatin1String("params"));
    if (request.value(QLatin1String("jsonrpc")) != QJsonValue(QLatin1String(protocol::kVersion)) ||
        !methodValue.isString() || (!paramsValue.isUndefined() && !paramsValue.isObject())) {
        Fail(client, id, kInvalidRequest, QStringLiteral("Invalid Request"));
        return;
    }
    QString method = methodValue.toString();
    QJsonObject params = paramsValue.toObject();
    Log(Debug, "control: ", Cut(method));

    if (method == QLatin1String(protocol::method::kLogin)) {
        QJsonValue user = params.value(QLatin1String(param::kUsername));
        QJsonValue pass = params.value(QLatin1String(param::kPassword));
        if (!user.isString() || !pass.isString()) {
            Fail(client, id, kInvalidParams, QStringLiteral("username and password are needed"));
            return;
        }
        Login(client, id, user.toString(), pass.toString());
        return;
    }
    if (!client.loggedIn) {
        Fail(client, id, kNotAuthorised, QStringLiteral("Not authorised"));
        return;
    }
    if (method == QLatin1String(protocol::method::kSetClientType)) {
        QJsonValue type = params.value(QLatin1String(param::kType));
        if (type != QJsonValue(QLatin1String(protocol::kCallbackClientType))) {
            Fail(client, id, kInvalidParams, QStringLiteral("Unknown client type"));
            return;
        }
        client.type = type.toString();
        Reply(client, id, true);
    } else if (method == QLatin1String(protocol::method::kOpenLine)) {
        QJsonValue name = params.value(QLatin1String(param::kName));
        if (!name.isString()) {
            Fail(client, id, kInvalidParams, QStringLiteral("name is needed"));
            return;
        }
        int line = lines_.IdOf(name.toString().toStdString());
        Reply(client, id, line);
        if (line > 0) {
            client.lines.insert(line);
            SendState(client, line);
        }
    } else if (method == QLatin1String(protocol::method::kGetCOS)) {
        int line = 0, cos = 0;
        if (!IntParam(params, param::kLine, line)) {
            Fail(client, id, kInvalidParams, QStringLiteral("line is needed"));
            return;
        }
        if (!lines_.GetCos(line, cos)) {
            Fail(client, id, kNoSuchLine, QStringLiteral("No such line"));
            return;
        }
        Reply(client, id, cos);
    } else if (method == QLatin1String(protocol::method::kSetCOS)) {
        int line = 0, cos = 0;
        if (!IntParam(params, param::kLine, line) || !IntParam(params, param::kCos, cos)) {
            Fail(client, id, kInvalidParams, QStringLiteral("line and cos are needed"));
            return;
        }
        if (lines_.NumberOf(line).empty()) {
            Fail(client, id, kNoSuchLine, QStringLiteral("No such line"));
            return;
        }
        if (cos < 0) {
            Fail(client, id, kInvalidParams, QStringLiteral("cos must not be negative"));
            return;
        }
        lines_.SetCos(line, cos);
        Log(Informational, "line ", lines_.NumberOf(line), " class of service ", cos);
        Reply(client, id, true);
    } else if (method == QLatin1String(protocol::method::kToDialable)) {
        QJsonValue number = params.value(QLatin1String(param::kNumber));
        if (!number.isString()) {
            Fail(client, id, kInvalidParams, QStringLiteral("number is needed"));
            return;
        }
        Reply(client, id, QString::fromStdString(plan_.ToDialable(number.toString().toStdString())));
    } else {
        Fail(client, id, kMethodNotFound, QStringLiteral("Method not found"));
    }
}

} // namespace exchange
