// The control server: the server end of the control protocol (platform/pbxcontrol/ControlProtocol.h)
// for the service's line component, with callStateChanged notifications to every client that opened
// the line. Lives in one thread with an event loop. What one client may cost is bounded (see
// ControlLimits): its unread output, its time to log in, its wrong logins.
#pragma once

#include "exchange/Config.h"
#include "exchange/LineTable.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QTcpServer>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

class QTcpSocket;

namespace dialplan {
class DialPlan;
}

namespace exchange {

class ControlServer : public QObject
{
public:
    ControlServer(LineTable& lines, const dialplan::DialPlan& plan, const std::string& username,
                  const std::string& password, const ControlLimits& limits = {}, QObject* parent = nullptr);
    ~ControlServer() override;

    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const;
    int ClientCount() const { return static_cast<int>(clients_.size()); }

    // From the server's own thread.
    void Notify(int line, int call, CallState state);

private:
    using Clock = std::chrono::steady_clock;
    struct Client
    {
        QTcpSocket* socket = nullptr;
        QByteArray buffer;
        QString address;
        uint64_t serial = 0;  // order of arrival
        bool loggedIn = false;
        bool dropped = false;
        bool waiting = false; // a wrong login's answer is held back, and the client's input with it
        int refusals = 0;     // requests refused before logging in
        QString type;
        std::set<int> lines;
    };
    // Wrong logins from one address.
    struct Failures
    {
        int count = 0;
        Clock::time_point last;
        Clock::time_point lockedUntil;
    };
    void OnConnection();
    void OnReadable(QTcpSocket* socket);
    void OnGone(QTcpSocket* socket);
    void Handle(Client& client, const QByteArray& text);
    void Login(Client& client, const QJsonValue& id, const QString& user, const QString& password);
    void Send(Client& client, const QJsonObject& message);
    void Reply(Client& client, const QJsonValue& id, const QJsonValue& result);
    void Fail(Client& client, const QJsonValue& id, int code, const QString& message);
    void SendState(Client& client, int line);
    // Closes the connection once the current event is over; nothing more is read or sent.
    void Drop(Client& client, const std::string& why);
    bool Locked(const QString& address);
    // At most a few lines a while for refusals, so that a flood of them cannot fill the log.
    void LogRefusal(const std::string& text);

    LineTable& lines_;
    const dialplan::DialPlan& plan_;
    const QString username_;
    const QString password_;
    const ControlLimits limits_;
    QTcpServer server_;
    std::map<QTcpSocket*, std::unique_ptr<Client>> clients_;
    std::map<QString, Failures> failures_; // by address
    uint64_t nextSerial_ = 0;
    Clock::time_point refusalWindow_;
    int refusalsLogged_ = 0;
    int refusalsUnlogged_ = 0;
};

} // namespace exchange
