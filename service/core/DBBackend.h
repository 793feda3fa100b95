// The service's access to its Firebird database: opens (or creates) it, answers the subscriber and
// blacklist checks and writes the incoming-call log.
#pragma once

#include "service/core/IDBBackend.h"

#include <QHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QString>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class CBSrvSettings;

class DBBackend final : public IDBBackend
{
public:
    static constexpr const char* kDatabaseName = "NORVEL_CALLBACK";

    // databaseName: the alias or file on the server; only tests give another one.
    explicit DBBackend(const QString& databaseName = QString::fromLatin1(kDatabaseName));
    ~DBBackend();
    DBBackend(const DBBackend&) = delete;
    DBBackend& operator=(const DBBackend&) = delete;

    void SetSettings(CBSrvSettings* settings);
    // Outcome reported only in the log; afterwards operations reopen on demand.
    void OpenDatabase();
    void CloseDatabase();

    bool CheckCallerId(const std::string& callerId) override;
    bool CheckPin(const std::string& callerId, const std::string& pin) override;
    int GetTransferCOS(const std::string& callerId) override;
    bool checkDialedNumber(const std::string& callerId, const std::string& number) override;
    void SaveIncomingCall(const std::string& callerId, int uid, int result, const std::string& dest,
                          int& id) override;
    int GetUID(const std::string& callerId) override;

    // How long one attempt to reach the server may wait for its answer (the client's own default is
    // 180 s): a host that drops packets must not hold up the start or a call for longer.
    static constexpr int kConnectTimeoutSeconds = 3;

private:
    using Guard = std::unique_lock<std::mutex>;
    bool ready(Guard& guard);
    bool lostConnection(Guard& guard);
    void notOpened(Guard& guard);
    bool createDatabase();
    int firstActiveId(Guard& guard, const std::string& callerId, const std::string* pin);

    QSqlDatabase connection;
    CBSrvSettings* settings = nullptr;
    QString databaseName;
    QHash<QString, QRegularExpression> compiledPatterns;
    // The operations come from several telephony threads; one connection must not run two at once.
    std::mutex lock;
    // The last caller check, for the id asked right after it on the same thread; taken once.
    struct CallerLookup
    {
        std::string callerId;
        int id = -1;
        std::thread::id thread;
    };
    CallerLookup lastCallerLookup; // under lock
    // One reconnection at a time, run without the lock: the other callers get the "not open" answer at
    // once instead of queueing behind a server that does not answer.
    std::atomic<bool> reconnecting{false};
};
