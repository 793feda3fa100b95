// The service's access to its Firebird database: opens (or creates) it, answers the subscriber and
// blacklist checks and writes the incoming-call log.
//
// A Qt connection may only be used by the thread that made it, so the connection lives on a thread of its
// own: every operation, from whichever thread, is queued to it in order and its caller waits for the
// answer at most the answer timeout.
#pragma once

#include "service/core/IDBBackend.h"

#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class CBSrvSettings;

class DBBackend final : public IDBBackend
{
public:
    static constexpr const char* kDatabaseName = "NORVEL_CALLBACK";

    // How long one attempt to reach the server may wait for its answer (the client's own default is
    // 180 s): a host that drops packets must not hold up the start or a call for longer.
    static constexpr int kConnectTimeoutSeconds = 3;
    // How long a caller waits for the database thread's answer to one operation. A statement on a
    // connection whose host stopped answering waits as long as the operating system keeps the
    // connection; its caller gets the answer for a closed database after this, and while the database
    // thread is still held up past it, the callers after it get that answer at once.
    static constexpr int kAnswerTimeoutSeconds = 10;

    // databaseName: the alias or file on the server. Only tests give another one, or a shorter answer
    // timeout.
    explicit DBBackend(const QString& databaseName = QString::fromLatin1(kDatabaseName),
                       std::chrono::milliseconds answerTimeout = std::chrono::seconds(kAnswerTimeoutSeconds));
    // Refuses new operations, waits for those in flight (each bounded), then ends the database thread.
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
    // One operation and one statement per caller (or row), prepared once per attachment; the rows are
    // committed together.
    void CheckCallers(std::vector<IncomingCaller>& callers, bool lockout) override;
    void SaveIncomingCalls(std::vector<IncomingRow>& rows) override;
    LockoutStore PinLockoutStore() override;
    bool IsLockedOut(const std::string& callerId) override;
    FailedSession RecordFailedSession(const std::string& callerId, int uid, int threshold, int windowMinutes,
                                      int lockMinutes) override;
    void ClearFailedSessions(const std::string& callerId) override;
    // The feature the lockout's optional objects belong to.
    static constexpr const char* kPinLockoutFeature = "pin lockout";

    // Whether the database holds every optional object a feature needs (Schema::OptionalObjects).
    enum class Presence { Present, Missing, Unknown /* not asked: the database is closed or did not answer */ };
    // missing, when given, receives the keys of the objects that are not there.
    Presence OptionalObjectsOf(const std::string& feature, std::vector<std::string>* missing = nullptr);

    // The name of the Qt connection the database thread holds, for tests that ask Qt about it.
    QString ConnectionName() const;

private:
    class Worker;
    // Shared with the database thread, which may outlive this object when a statement never returns.
    std::shared_ptr<Worker> worker;
    CBSrvSettings* settings = nullptr;
    QString databaseName;
};
