// The PBX control component: a client of the exchange's control server (ControlProtocol.h), registered
// under the protocol's component class identifier so the service creates it by that identifier.
//
// Calls are synchronous, bounded by a timeout, and safe from any thread: they never need an event loop.
// A late or failed call returns its "nothing" value (0, false, the number unchanged). State changes
// reported by the server are emitted as CallStateChangedInt in the thread this object lives in. A lost
// connection is retried with growing delays; each new connection logs in again, sets the client type
// again and re-opens every line opened so far.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class NorComComponent : public QObject
{
    Q_OBJECT

public:
    static constexpr int kCallTimeoutMs = 2000;
    static constexpr int kFirstReconnectDelayMs = 200;
    static constexpr int kMaxReconnectDelayMs = 5000;

    explicit NorComComponent(QObject* parent = nullptr);
    ~NorComComponent() override;

    // server is "host" or "host:port" (default: the protocol's port). Waits at most the call timeout for
    // the login; false when it did not succeed by then (the component keeps trying in the background).
    Q_INVOKABLE bool Connect(const QString& server, const QString& username, const QString& password);
    // Closes the connection, stops retrying and forgets the client type and the lines. The thread that
    // reads the server has ended when it returns; calls then return nothing at once, and Connect starts
    // a new session.
    Q_INVOKABLE void Disconnect();
    Q_INVOKABLE bool SetClientType(const QString& type);
    // The line id (> 0), or 0 when the exchange has no such extension or the call failed.
    Q_INVOKABLE int OpenLine(const QString& linename);
    Q_INVOKABLE int GetCOS(int line_id);
    Q_INVOKABLE bool SetCOS(int line_id, int COS);
    Q_INVOKABLE QString ToDialable(const QString& phone_in);

    bool isLoggedIn() const;
    void setCallTimeout(int ms);
    void setReconnectDelays(int firstMs, int maxMs);

signals:
    void CallStateChangedInt(int line_id, int call_id, int call_state);
    // Logged in again after the connection was lost (not at the first login), in this object's thread.
    void SessionRestored();

private:
    class Session;
    std::unique_ptr<Session> session_;
};

// Makes NorComComponent the component behind the protocol's class identifier. It logs through
// platform::SetLogHandler.
void RegisterNorComComponent();
