// What the service writes down about its callbacks: the queue written through to QUEUE (and read back
// at start), and one OUTGOINGLOG row per callback attempt with its outcome.
//
// One writer owns a database connection of its own on a thread of its own. Every operation here
// returns at once and its write is done later, in the order of the operations, so nothing a call
// does waits for the database. A write that fails is kept, with everything after it, and tried
// again on the next tick of the queue timer.
#pragma once

#include "service/core/IQueueJournal.h"

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CBSrvSettings;
class CallBackQueue;

class CallBackJournal final : public IQueueJournal
{
public:
    // OUTGOINGLOG.END_REASON: how an attempt ended (NULL while it is under way).
    enum class EndReason {
        None = 0,
        NoAnswer = 1,       // not answered in time (or the exchange said 408/480)
        Refused = 2,        // turned down with a SIP status (busy, forbidden, ...): SIP_STATUS says which
        SetUpFailed = 3,    // the call could not be set up, no status from the far side
        PinFailed = 4,      // the last PIN try was wrong
        HungUp = 5,         // answered, then ended without a transfer
        TransferDenied = 6, // the destination is blacklisted
        TransferFailed = 7, // the destination was busy, refused or did not answer
        Transferred = 8,    // joined with the destination
        Interrupted = 9,    // the service stopped (or crashed) during the attempt
    };
    // OUTGOINGLOG.PIN_RESULT.
    enum PinResult { PinNotEntered = 0, PinCorrect = 1, PinWrong = 2 };

    // databaseName: as DBBackend's; tests give another one.
    explicit CallBackJournal(const QString& databaseName = QStringLiteral("NORVEL_CALLBACK"));
    // Writes what is still pending (a failing write is given up at once), then ends the thread.
    ~CallBackJournal();
    CallBackJournal(const CallBackJournal&) = delete;
    CallBackJournal& operator=(const CallBackJournal&) = delete;

    // Before Start: what to do. With persistQueue the queue is written through and read back.
    void SetSettings(CBSrvSettings* settings);
    void SetQueue(CallBackQueue* queue);
    bool PersistsQueue() const { return persistQueue; }
    bool LogsOutgoing() const;

    // Connects, reads the queue back into the queue and closes attempts a crash left open; waits for
    // that at most `wait`, less when the database refuses. When the database is not there, it is
    // tried again on every Tick.
    void Start(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // The queue timer's tick: a write that failed, or the start, is tried again.
    void Tick();
    // From now on, an attempt that ends was interrupted by the stop.
    void Stopping();
    // Waits until every write so far is done (or failed); for tests and the stop.
    bool Flush(std::chrono::milliseconds wait);

    // IQueueJournal
    void Queued(int incomingId, int uid) override;
    void BackInLine(int incomingId, int tries) override;
    void Gone(int incomingId) override;

    // Callback attempts, by a key that names the attempt for its life (the call's token). Unknown keys
    // (an attempt not placed, a call that is no callback) are ignored.
    void AttemptPlaced(const std::string& key, int incomingId, int uid, const std::string& line);
    void AttemptAnswered(const std::string& key);
    void AttemptPin(const std::string& key, bool correct);
    void AttemptDestination(const std::string& key, const std::string& destination);
    // The outcome, when it is known before the end (a later one replaces it).
    void AttemptOutcome(const std::string& key, EndReason reason, int sipStatus = 0);
    // The call is gone; sipStatus: the far side's final answer, 0 when none.
    void AttemptEnded(const std::string& key, int sipStatus);

private:
    struct Attempt
    {
        int incomingId = -1;
        int uid = -1;
        std::string line;
        std::string destination;
        bool answered = false;
        std::chrono::steady_clock::time_point answeredAt;
        int length = 0; // seconds from answer to release
        int pin = PinNotEntered;
        EndReason reason = EndReason::None;
        int sipStatus = 0;
    };
    void PostAttemptUpdate(const std::string& key, const Attempt& attempt, bool last);

    class Writer;
    std::shared_ptr<Writer> writer;
    CBSrvSettings* settings = nullptr;
    CallBackQueue* queue_ = nullptr;
    QString databaseName_;
    bool persistQueue = false;
    bool logOutgoing = false;

    std::mutex attemptsLock;
    std::map<std::string, Attempt> attempts;
    bool stopping = false;
};
