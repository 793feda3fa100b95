#include "exchange/ControlServer.h"

#include "exchange/DialPlan.h"

#include "exchange/Log.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpSocket>

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

} // namespace

ControlServer::ControlServer(LineTable& lines, const DialPlan& plan, const std::string& username,
                             const std::string& password, QObject* parent)
    : QObject(parent), lines_(lines), plan_(plan), username_(QString::fromStdString(username)),
      password_(QString::fromStdString(password)), server_(this)
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
        auto client = std::make_unique<Client>();
        client->socket = socket;
        clients_[socket] = std::move(client);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnGone(socket); });
        Log(Informational, "control: client ", socket->peerAddress().toString().toStdString() + ":",
            socket->peerPort(), " connected");
    }
}

void ControlServer::OnGone(QTcpSocket* socket)
{
    auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    Log(Informational, "control: client ", socket->peerPort(), " gone");
    clients_.erase(it);
    socket->deleteLater();
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
    client.buffer += socket->readAll();
    for (;;) {
        int newline = client.buffer.indexOf(protocol::kLineEnd);
        if (newline < 0 || newline > kMaxRequestLine)
            break;
        QByteArray line = client.buffer.left(newline);
        client.buffer.remove(0, newline + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            Handle(client, line);
    }
    if (client.buffer.size() > kMaxRequestLine) {
        // Too long, or no end in sight: answer once and drop the client rather than buffer without
        // bound (what follows could not be told apart from the rest of the long line anyway).
        Log(Warning, "control: client ", socket->peerPort(), " sent a request over the size limit; dropped");
        Fail(client, QJsonValue(), kInvalidRequest, QStringLiteral("Request too large"));
        socket->flush();
        client.buffer.clear();
        client.dropped = true;
        socket->disconnectFromHost();
    }
}

void ControlServer::Send(Client& client, const QJsonObject& message)
{
    if (client.socket->state() != QAbstractSocket::ConnectedState)
        return;
    client.socket->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + protocol::kLineEnd);
}

void ControlServer::Reply(Client& client, const QJsonValue& id, const QJsonValue& result)
{
    if (id.isUndefined())
        return; // a notification gets no answer
    Send(client, QJsonObject{{"jsonrpc", protocol::kVersion}, {"id", id}, {"result", result}});
}

void ControlServer::Fail(Client& client, const QJsonValue& id, int code, const QString& message)
{
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
    Log(Debug, "control: ", method.toStdString());

    if (method == QLatin1String(protocol::method::kLogin)) {
        QJsonValue user = params.value(QLatin1String(param::kUsername));
        QJsonValue pass = params.value(QLatin1String(param::kPassword));
        if (!user.isString() || !pass.isString()) {
            Fail(client, id, kInvalidParams, QStringLiteral("username and password are needed"));
            return;
        }
        client.loggedIn = user.toString() == username_ && pass.toString() == password_;
        if (!client.loggedIn) {
            Log(Notice, "control: login of ", user.toString().toStdString(), " refused");
            Fail(client, id, kNotAuthorised, QStringLiteral("Not authorised"));
            return;
        }
        Reply(client, id, true);
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
