// The control server: the server end of the control protocol (platform/pbxcontrol/ControlProtocol.h)
// for the service's line component, with callStateChanged notifications to every client that opened
// the line. Lives in one thread with an event loop.
#pragma once

#include "exchange/LineTable.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QTcpServer>

#include <map>
#include <memory>
#include <set>
#include <string>

class QTcpSocket;

namespace exchange {

class DialPlan;

class ControlServer : public QObject
{
public:
    ControlServer(LineTable& lines, const DialPlan& plan, const std::string& username, const std::string& password,
                  QObject* parent = nullptr);
    ~ControlServer() override;

    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const;
    int ClientCount() const { return static_cast<int>(clients_.size()); }

    // From the server's own thread.
    void Notify(int line, int call, CallState state);

private:
    struct Client
    {
        QTcpSocket* socket = nullptr;
        QByteArray buffer;
        bool loggedIn = false;
        bool dropped = false;
        QString type;
        std::set<int> lines;
    };
    void OnConnection();
    void OnReadable(QTcpSocket* socket);
    void OnGone(QTcpSocket* socket);
    void Handle(Client& client, const QByteArray& text);
    void Send(Client& client, const QJsonObject& message);
    void Reply(Client& client, const QJsonValue& id, const QJsonValue& result);
    void Fail(Client& client, const QJsonValue& id, int code, const QString& message);
    void SendState(Client& client, int line);

    LineTable& lines_;
    const DialPlan& plan_;
    const QString username_;
    const QString password_;
    QTcpServer server_;
    std::map<QTcpSocket*, std::unique_ptr<Client>> clients_;
};

} // namespace exchange
