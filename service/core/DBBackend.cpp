#include "service/core/DBBackend.h"

#include "common/Firebird.h"
#include "common/Logging.h"
#include "common/Schema.h"
#include "service/core/CBSrvSettings.h"
#include "service/core/DatabaseTarget.h"

#include <QHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <ibase.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {
const char* const kSelectActive = "SELECT ID FROM USERS where IS_ACTIVE=1 and CALLERID=:caller_id";
const char* const kSelectPin = "SELECT ID FROM USERS where IS_ACTIVE=1 and CALLERID=:caller_id and PIN=:pin_code";
const char* const kSelectBlacklist = "SELECT NUMBER FROM BLACKLIST";
const char* const kInsertIncoming =
    "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES (gen_id(NEW_INCOMING_ID,1), "
    "current_timestamp, :caller_id, :uid, :result, :dest) RETURNING id";
// The incoming calls' statements, on the client library's own interface: each runs in one exchange with
// the server, and stays prepared.
const char* const kCheckCaller =
    "SELECT COALESCE((SELECT FIRST 1 ID FROM USERS WHERE IS_ACTIVE=1 AND CALLERID=?), -1) FROM RDB$DATABASE";
const char* const kCheckCallerAndLock =
    "SELECT COALESCE((SELECT FIRST 1 ID FROM USERS WHERE IS_ACTIVE=1 AND CALLERID=?), -1), (SELECT COUNT(*) FROM "
    "PINLOCKOUTS WHERE CALLERID = ? AND LOCKED_UNTIL > CURRENT_TIMESTAMP) FROM RDB$DATABASE";
const char* const kInsertIncomingRow =
    "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES (gen_id(NEW_INCOMING_ID,1), "
    "current_timestamp, ?, ?, ?, ?) RETURNING ID";
// Width of the CALLERID and DEST columns of INCOMINGLOG.
constexpr int kNumberColumnWidth = 20;

using Clock = std::chrono::steady_clock;

// The first kNumberColumnWidth characters of a UTF-8 text, as QString::left keeps them.
std::string FitNumber(const std::string& text)
{
    int characters = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++characters > kNumberColumnWidth)
            return text.substr(0, i);
    return text;
}

QString ToQString(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string ToStdString(const QString& s) { return s.toStdString(); }

isc_db_handle AttachmentOf(const QSqlDatabase& db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (db.driverName() != QLatin1String("QIBASE") || handle.metaType() != QMetaType::fromType<isc_db_handle>())
        return 0;
    return *static_cast<const isc_db_handle*>(handle.constData());
}

// Asks the server about the attachment itself: Qt's driver keeps reporting a connection as open after
// the server went away, so a failed statement alone cannot tell a lost connection from a bad query.
bool attachmentAlive(const QSqlDatabase& db)
{
    if (db.driverName() != QLatin1String("QIBASE"))
        return db.isOpen();
    isc_db_handle attachment = AttachmentOf(db);
    ISC_STATUS_ARRAY status = {};
    const char items[] = {isc_info_attachment_id};
    char answer[32];
    return attachment && isc_database_info(status, &attachment, sizeof items, items, sizeof answer, answer) == 0;
}

using Target = DatabaseTarget;

std::string Seconds(Clock::duration wait)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// One operation for the database thread, and what its caller waits for.
struct Job
{
    std::function<void(Job&)> work;
    // Pause and resume change what later operations find: they run even after their caller stopped waiting.
    bool mustRun = false;
    // Under the worker's mutex.
    bool done = false;
    bool abandoned = false;
    // Set by the work when it found the connection closed and this caller is the one to reconnect.
    std::optional<Target> reconnect;
};

// The last caller check, for the id asked right after it on the same thread; taken once.
struct CallerLookup
{
    std::string callerId;
    int id = -1;
    std::thread::id thread;
};

enum class Blacklist { Allows, Refuses, Unreadable };

std::atomic<int> g_connections{0};
} // namespace

// The database thread and everything only it touches: the Qt connection, the compiled patterns and the
// last caller lookup. Shared with the thread itself, so that a thread held up in a statement past the
// owner's end still has all it uses.
class DBBackend::Worker
{
public:
    Worker(QString name, Clock::duration answerTimeout)
        : connectionName(std::move(name)), timeout(answerTimeout)
    {
    }

    void Start(const std::shared_ptr<Worker>& self)
    {
        thread = std::thread([self] { self->Loop(); });
    }

    // Runs work on the database thread; false when no answer came in time (or the database is going
    // away). When the work found the connection closed, this caller tries once to reopen it.
    bool Ask(std::function<void(Job&)> work, bool mustRun = false)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closing)
                return false;
            ++callers;
        }
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        job->mustRun = mustRun;
        const bool answered = Run(job);
        if (answered && job->reconnect)
            Reconnect(*job->reconnect);
        std::lock_guard<std::mutex> lock(mutex);
        --callers;
        changed.notify_all();
        return answered;
    }

    // Refuses new callers, lets those in flight have their (bounded) answers, then ends the thread.
    void Close()
    {
        std::unique_lock<std::mutex> lock(mutex);
        closing = true;
        changed.wait(lock, [this] { return callers == 0; });
        stopping = true;
        wake.notify_one();
        // A statement that never returns keeps the thread: it is left to end by itself when the
        // operating system gives the connection up, on its own state; nobody waits for its answer.
        const bool ended = changed.wait_for(lock, timeout, [this] { return finished; });
        lock.unlock();
        if (ended)
            thread.join();
        else
            thread.detach();
    }

    // The rest runs on the database thread only. The connection is looked up by name each time, so
    // that Qt refuses it (with a warning) to any other thread.
    QSqlDatabase Connection() const { return QSqlDatabase::database(connectionName, false); }

    void Open(const Target& target)
    {
        QSqlDatabase db = Connection();
        incoming.Release();
        // On resume the connection exists already; it is made anew only for another driver.
        if (!db.isValid() || db.driverName() != target.driver) {
            db = QSqlDatabase();
            if (QSqlDatabase::contains(connectionName))
                QSqlDatabase::removeDatabase(connectionName);
            db = QSqlDatabase::addDatabase(target.driver, connectionName);
        }
        PointAt(db, target);
        std::string unanswered;
        if (!ServerAnswersInTime(TargetOf(db), kConnectTimeoutSeconds, unanswered)) {
            // Neither opening nor creating is tried: both would wait as long again for nothing.
            Log(Error, "The database server did not answer within ", kConnectTimeoutSeconds,
                " s: ", unanswered);
            return;
        }
        if (!db.open()) {
            Log(Warning, "Can't open database, trying to create ", ToStdString(db.lastError().text()));
            if (!CreateDatabase(target)) {
                Log(Error, "Can't create database", ToStdString(db.lastError().text()));
                return;
            }
            if (!db.open()) {
                Log(Error, "Can't open database after successfull creation ",
                    ToStdString(db.lastError().text()));
                return;
            }
        }
        Log(Informational, "Connected to database ");
    }

    void CloseConnection()
    {
        incoming.Release();
        QSqlDatabase db = Connection();
        if (db.isValid())
            db.close();
    }

    int FirstActiveId(Job& job, const std::string& callerId, const std::string* pin)
    {
        if (!Ready(job))
            return -1;
        QSqlQuery query(Connection());
        const bool prepared = query.prepare(QString::fromLatin1(pin ? kSelectPin : kSelectActive));
        if (prepared) {
            query.bindValue(QStringLiteral(":caller_id"), ToQString(callerId));
            if (pin)
                query.bindValue(QStringLiteral(":pin_code"), ToQString(*pin));
        }
        if (!prepared || !query.exec()) {
            query.clear();
            LostConnection(job);
            return -1;
        }
        return query.next() ? query.value(0).toInt() : -1;
    }

    Blacklist CheckBlacklist(Job& job, const std::string& number)
    {
        if (!Ready(job))
            return Blacklist::Unreadable;
        QSqlQuery query(Connection());
        query.setForwardOnly(true);
        if (!query.exec(QString::fromLatin1(kSelectBlacklist))) {
            const QString error = query.lastError().text();
            query.clear();
            Log(Warning, "Can't execute query.", ToStdString(error));
            LostConnection(job);
            return Blacklist::Refuses;
        }
        const QString dialed = ToQString(number);
        // Compiling a pattern costs far more than matching it, and the blacklist rarely changes: keep the
        // compiled patterns of the last call, dropping those no longer in the table.
        QHash<QString, QRegularExpression> seen;
        bool allowed = true;
        while (allowed && query.next()) {
            const QString source = query.value(0).toString();
            auto cached = compiledPatterns.constFind(source);
            const QRegularExpression& pattern =
                seen.insert(source, cached != compiledPatterns.constEnd()
                                        ? *cached
                                        : QRegularExpression(QRegularExpression::anchoredPattern(source)))
                    .value();
            // A whole-string, case-sensitive match; an invalid pattern matches nothing.
            if (pattern.isValid() && pattern.match(dialed).hasMatch())
                allowed = false;
        }
        if (allowed && query.lastError().isValid()) {
            // The rows stopped coming: the rest of the table may hold the pattern that refuses this number.
            Log(Warning, "Can't execute query.", ToStdString(query.lastError().text()));
            return Blacklist::Refuses;
        }
        if (allowed)
            compiledPatterns.swap(seen);
        else
            compiledPatterns.insert(seen);
        return allowed ? Blacklist::Allows : Blacklist::Refuses;
    }

    Presence OptionalObjectsOf(Job& job, const std::string& feature, std::vector<std::string>& missing)
    {
        if (!Ready(job))
            return Presence::Unknown;
        for (const Schema::OptionalObject* object : Schema::OptionalObjectsOf(feature)) {
            QSqlQuery query(Connection());
            if (!query.exec(QString::fromLatin1(object->probe.data(), qsizetype(object->probe.size())))) {
                query.clear();
                LostConnection(job);
                return Presence::Unknown;
            }
            if (!query.next() || query.value(0).toInt() <= 0)
                missing.emplace_back(object->key);
        }
        return missing.empty() ? Presence::Present : Presence::Missing;
    }

    int SaveIncomingCall(Job& job, const std::string& callerId, int uid, int result, const std::string& dest)
    {
        if (!Ready(job))
            return -1;
        QSqlQuery query(Connection());
        const bool prepared = query.prepare(QString::fromLatin1(kInsertIncoming));
        if (prepared) {
            // A longer number from the network would fail the insert and lose the call's row; keep what fits.
            query.bindValue(QStringLiteral(":caller_id"), ToQString(callerId).left(kNumberColumnWidth));
            query.bindValue(QStringLiteral(":uid"),
                            uid >= 0 ? QVariant(uid) : QVariant(QMetaType::fromType<int>()));
            query.bindValue(QStringLiteral(":result"), result);
            query.bindValue(QStringLiteral(":dest"), ToQString(dest).left(kNumberColumnWidth));
        }
        if (!prepared || !query.exec()) {
            query.clear();
            LostConnection(job);
            return -1;
        }
        return query.next() ? query.value(0).toInt() : -1;
    }

    // Each caller's subscriber ID, and lock, by one statement in one read-only transaction.
    void CheckCallers(Job& job, std::vector<IDBBackend::IncomingCaller>& incomingCallers, bool lockout)
    {
        if (!OnFirebird()) {
            for (IDBBackend::IncomingCaller& caller : incomingCallers) {
                caller.uid = FirstActiveId(job, caller.callerId, nullptr);
                caller.known = caller.uid != -1;
                caller.lockedOut = lockout && caller.known && IsLockedOut(job, caller.callerId);
            }
            return;
        }
        firebird::Transaction transaction;
        firebird::Statement* check = nullptr;
        if (!BeginIncoming(job, transaction, true) ||
            !(check = PreparedIncoming(job, transaction, lockout ? incoming.checkAndLock : incoming.check,
                                       lockout ? kCheckCallerAndLock : kCheckCaller)))
            return;
        std::vector<std::optional<std::int64_t>> answer;
        std::string error;
        for (IDBBackend::IncomingCaller& caller : incomingCallers) {
            std::vector<firebird::Statement::Value> values{caller.callerId};
            if (lockout)
                values.emplace_back(FitNumber(caller.callerId));
            if (!check->Execute(transaction, values, answer, error)) {
                if (!attachmentAlive(Connection())) {
                    IncomingFailed(job, transaction, error);
                    return;
                }
                // A caller ID the server cannot take (longer than the column) is nobody's; as one by one,
                // unlogged, and the callers after it are still asked.
                answer.assign(2, std::nullopt);
            }
            caller.uid = int(answer.at(0).value_or(-1));
            caller.known = caller.uid != -1;
            caller.lockedOut = lockout && caller.known && answer.at(1).value_or(0) > 0;
        }
        transaction.Commit(error);
    }

    // The rows in one transaction: one commit for all. A row the server refuses is left out alone.
    void SaveIncomingCalls(Job& job, std::vector<IDBBackend::IncomingRow>& rows)
    {
        if (!OnFirebird()) {
            for (IDBBackend::IncomingRow& row : rows)
                row.id = SaveIncomingCall(job, row.callerId, row.uid, row.result, row.dest);
            return;
        }
        firebird::Transaction transaction;
        firebird::Statement* insert = nullptr;
        if (!BeginIncoming(job, transaction, false) ||
            !(insert = PreparedIncoming(job, transaction, incoming.insert, kInsertIncomingRow)))
            return;
        std::vector<std::optional<std::int64_t>> answer;
        std::string error;
        // Nothing of the transaction is kept: every row is lost.
        auto lost = [&] {
            IncomingFailed(job, transaction, error);
            for (IDBBackend::IncomingRow& row : rows)
                row.id = -1;
        };
        for (IDBBackend::IncomingRow& row : rows) {
            // A longer number from the network would fail the insert and lose the call's row; keep what fits.
            const std::vector<firebird::Statement::Value> values{
                FitNumber(row.callerId),
                row.uid >= 0 ? firebird::Statement::Value(std::int64_t(row.uid)) : firebird::Statement::Value(),
                std::int64_t(row.result), FitNumber(row.dest)};
            if (insert->Execute(transaction, values, answer, error)) {
                row.id = int(answer.at(0).value_or(-1));
                continue;
            }
            if (!attachmentAlive(Connection()))
                return lost();
            Log(Warning, "Can't execute query.", error);
        }
        if (!transaction.Commit(error))
            lost();
    }

    // Runs one statement with its values bound in order; false (the connection checked) when it failed.
    bool Execute(Job& job, QSqlQuery& query, const QString& statement, const QVariantList& values)
    {
        if (!Ready(job))
            return false;
        bool ok = query.prepare(statement);
        for (int i = 0; ok && i < values.size(); ++i)
            query.bindValue(i, values[i]);
        if (ok && query.exec())
            return true;
        Log(Warning, "PIN lockout statement failed: ", ToStdString(query.lastError().text()));
        query.clear();
        LostConnection(job);
        return false;
    }

    bool IsLockedOut(Job& job, const std::string& callerId)
    {
        QSqlQuery query(Connection());
        return Execute(job, query,
                       QStringLiteral("SELECT COUNT(*) FROM PINLOCKOUTS WHERE CALLERID = ? AND LOCKED_UNTIL > "
                                      "CURRENT_TIMESTAMP"),
                       {ToQString(callerId).left(kNumberColumnWidth)}) &&
               query.next() && query.value(0).toInt() > 0;
    }

    // The server's clock decides every time, so that the console's "locked until" and the service agree.
    IDBBackend::FailedSession RecordFailedSession(Job& job, const std::string& callerId, int uid, int threshold,
                                                  int windowMinutes, int lockMinutes)
    {
        IDBBackend::FailedSession result;
        const QVariant caller = ToQString(callerId).left(kNumberColumnWidth);
        const QVariant subscriber = uid >= 0 ? QVariant(uid) : QVariant(QMetaType::fromType<int>());
        QSqlQuery query(Connection());
        // A row counts on while its first failure is inside the window and no lock of it has run out.
        if (!Execute(job, query,
                     QStringLiteral("SELECT FAILURES, IIF(LOCKED_UNTIL > CURRENT_TIMESTAMP, 1, 0), "
                                    "IIF(FIRST_FAILURE > DATEADD(MINUTE, %1, CURRENT_TIMESTAMP) AND (LOCKED_UNTIL IS "
                                    "NULL OR LOCKED_UNTIL > CURRENT_TIMESTAMP), 1, 0) FROM PINLOCKOUTS WHERE CALLERID = ?")
                         .arg(-windowMinutes),
                     {caller}))
            return result;
        int failures = 0;
        bool locked = false, counting = false;
        if (query.next()) {
            failures = query.value(0).toInt();
            locked = query.value(1).toInt() > 0;
            counting = query.value(2).toInt() > 0;
        }
        query.clear();
        result.failures = counting ? failures + 1 : 1;
        result.lockedNow = !locked && result.failures >= threshold;
        const QString lockUntil = QStringLiteral("DATEADD(MINUTE, %1, CURRENT_TIMESTAMP)").arg(lockMinutes);
        const QString statement =
            counting ? QStringLiteral("UPDATE PINLOCKOUTS SET UID = ?, FAILURES = FAILURES + 1, LAST_FAILURE = "
                                      "CURRENT_TIMESTAMP%1 WHERE CALLERID = ?")
                           .arg(result.lockedNow ? QStringLiteral(", LOCKED_UNTIL = ") + lockUntil : QString())
                     : QStringLiteral("UPDATE OR INSERT INTO PINLOCKOUTS (UID, FAILURES, FIRST_FAILURE, "
                                      "LAST_FAILURE, LOCKED_UNTIL, CALLERID) VALUES (?, 1, CURRENT_TIMESTAMP, "
                                      "CURRENT_TIMESTAMP, %1, ?) MATCHING (CALLERID)")
                           .arg(result.lockedNow ? lockUntil : QStringLiteral("NULL"));
        result.recorded = Execute(job, query, statement, {subscriber, caller});
        return result;
    }

    void ClearFailedSessions(Job& job, const std::string& callerId)
    {
        QSqlQuery query(Connection());
        Execute(job, query,
                QStringLiteral("DELETE FROM PINLOCKOUTS WHERE CALLERID = ? AND (LOCKED_UNTIL IS NULL OR "
                               "LOCKED_UNTIL <= CURRENT_TIMESTAMP)"),
                {ToQString(callerId).left(kNumberColumnWidth)});
    }

    const QString connectionName;
    CallerLookup lastCallerLookup; // database thread only

private:
    // Prepared on the attachment named, and dropped before it goes.
    struct IncomingStatements
    {
        isc_db_handle attachment = 0;
        firebird::Statement check, checkAndLock, insert;
        void Release()
        {
            check.Release();
            checkAndLock.Release();
            insert.Release();
            attachment = 0;
        }
    };

    // Another driver (none is used but Firebird's) gets the statements one by one through Qt.
    bool OnFirebird() const { return Connection().driverName() == QLatin1String("QIBASE"); }

    bool BeginIncoming(Job& job, firebird::Transaction& transaction, bool readOnly)
    {
        if (!Ready(job))
            return false;
        isc_db_handle attachment = AttachmentOf(Connection());
        if (attachment != incoming.attachment) {
            incoming.Release(); // prepared on an attachment since closed
            incoming.attachment = attachment;
        }
        std::string error;
        if (transaction.Begin(&attachment, readOnly, error))
            return true;
        IncomingFailed(job, transaction, error);
        return false;
    }

    firebird::Statement* PreparedIncoming(Job& job, firebird::Transaction& transaction, firebird::Statement& statement,
                                          const char* sql)
    {
        std::string error;
        if (statement.Prepared() || statement.Prepare(&incoming.attachment, transaction, sql, error))
            return &statement;
        IncomingFailed(job, transaction, error);
        return nullptr;
    }

    // Ends the transaction first: a connection found lost is closed.
    void IncomingFailed(Job& job, firebird::Transaction& transaction, const std::string& error)
    {
        transaction.Rollback();
        Log(Warning, "Can't execute query.", error);
        LostConnection(job);
    }

    IncomingStatements incoming; // database thread only
    // Queues the job and waits at most the answer timeout for it.
    bool Run(const std::shared_ptr<Job>& job)
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Behind an operation held up past the timeout already, this one would only time out as well.
        if (!job->mustRun && busy && Clock::now() - busySince >= timeout) {
            lock.unlock();
            Log(Warning, "The database did not answer within ", Seconds(timeout));
            return false;
        }
        jobs.push_back(job);
        wake.notify_one();
        if (changed.wait_for(lock, timeout, [&] { return job->done; }))
            return true;
        job->abandoned = true;
        lock.unlock();
        Log(Warning, "The database did not answer within ", Seconds(timeout));
        return false;
    }

    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                break;
            const std::shared_ptr<Job> job = std::move(jobs.front());
            jobs.pop_front();
            if (job->abandoned && !job->mustRun)
                continue; // its caller has had its answer already
            busy = true;
            busySince = Clock::now();
            lock.unlock();
            job->work(*job);
            lock.lock();
            busy = false;
            job->done = true;
            if (job->abandoned && job->reconnect)
                reconnecting = false; // its caller is gone: the next one tries
            changed.notify_all();
        }
        lock.unlock();
        CloseConnection();
        if (QSqlDatabase::contains(connectionName))
            QSqlDatabase::removeDatabase(connectionName);
        lock.lock();
        finished = true;
        changed.notify_all();
    }

    bool Ready(Job& job)
    {
        if (Connection().isOpen())
            return true;
        NotOpened(job);
        return false;
    }

    bool LostConnection(Job& job)
    {
        QSqlDatabase db = Connection();
        if (attachmentAlive(db))
            return false;
        incoming.Release();
        db.close();
        NotOpened(job);
        return true;
    }

    void NotOpened(Job& job)
    {
        Log(Warning, "Databse is not opened");
        // One reconnection attempt at a time; the caller that makes it reports "not open" whatever it gives.
        if (!reconnecting.exchange(true))
            job.reconnect = TargetOf(Connection());
    }

    // On the caller's thread: the database thread goes on answering the other callers "not open" at
    // once instead of waiting with it for a server that does not answer.
    void Reconnect(const Target& target)
    {
        std::string unanswered;
        if (ServerAnswersInTime(target, kConnectTimeoutSeconds, unanswered) && !Closing()) {
            auto job = std::make_shared<Job>();
            job->work = [this](Job&) {
                QSqlDatabase db = Connection();
                if (db.isValid() && !db.isOpen())
                    db.open();
            };
            Run(job);
        }
        reconnecting = false;
    }

    bool Closing()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return closing;
    }

    bool CreateDatabase(const Target& target)
    {
        const std::string location =
            Schema::DatabaseLocation(ToStdString(target.host), target.port, ToStdString(target.database));
        // The pieces are joined into one statement; Schema doubles any quote so none can end its literal.
        const std::string statement =
            Schema::CreateDatabaseStatement(location, ToStdString(target.user), ToStdString(target.password));
        std::string error;
        if (firebird::CreateDatabase(statement, error))
            return true;
        // The client library's status report, which would otherwise go to a console nobody reads.
        Log(Warning, "Firebird: ", error);
        return false;
    }

    const Clock::duration timeout;
    QHash<QString, QRegularExpression> compiledPatterns; // database thread only
    std::atomic<bool> reconnecting{false};

    std::mutex mutex;
    std::condition_variable wake;    // to the database thread: a job, or the stop
    std::condition_variable changed; // to the callers and Close: a job done, a caller gone, the thread ended
    std::deque<std::shared_ptr<Job>> jobs;
    bool busy = false;
    Clock::time_point busySince;
    int callers = 0;
    bool closing = false;
    bool stopping = false;
    bool finished = false;
    std::thread thread;
};

DBBackend::DBBackend(const QString& name, std::chrono::milliseconds answerTimeout)
    : worker(std::make_shared<Worker>(QStringLiteral("selvane-db-%1").arg(++g_connections), answerTimeout)),
      databaseName(name)
{
    worker->Start(worker);
}

DBBackend::~DBBackend()
{
    worker->Close();
}

void DBBackend::SetSettings(CBSrvSettings* value)
{
    settings = value;
}

QString DBBackend::ConnectionName() const
{
    return worker->connectionName;
}

void DBBackend::OpenDatabase()
{
    if (!settings)
        return;
    // Read here: the settings belong to the caller's side.
    const Target target{settings->DriverName, settings->HostName, databaseName,
                        settings->UserName,   settings->Password, settings->DatabasePort};
    Worker* w = worker.get(); // every job runs on the worker's own thread, which holds it
    worker->Ask([w, target](Job&) { w->Open(target); }, true);
}

void DBBackend::CloseDatabase()
{
    Worker* w = worker.get();
    worker->Ask([w](Job&) { w->CloseConnection(); }, true);
}

// Each answer is read only when it came: a job whose caller stopped waiting may still write it later.
bool DBBackend::CheckCallerId(const std::string& callerId)
{
    Worker* w = worker.get();
    auto id = std::make_shared<int>(-1);
    const std::thread::id caller = std::this_thread::get_id();
    const bool answered = worker->Ask([w, id, callerId, caller](Job& job) {
        *id = w->FirstActiveId(job, callerId, nullptr);
        // The caller's id is asked for next in the same operation: one statement answers both.
        w->lastCallerLookup = {callerId, *id, caller};
    });
    return answered && *id != -1;
}

bool DBBackend::CheckPin(const std::string& callerId, const std::string& pin)
{
    Worker* w = worker.get();
    auto id = std::make_shared<int>(-1);
    const bool answered =
        worker->Ask([w, id, callerId, pin](Job& job) { *id = w->FirstActiveId(job, callerId, &pin); });
    return answered && *id != -1;
}

int DBBackend::GetTransferCOS(const std::string&)
{
    return 1;
}

int DBBackend::GetUID(const std::string& callerId)
{
    Worker* w = worker.get();
    auto id = std::make_shared<int>(-1);
    const std::thread::id caller = std::this_thread::get_id();
    const bool answered = worker->Ask([w, id, callerId, caller](Job& job) {
        const CallerLookup last = std::exchange(w->lastCallerLookup, CallerLookup());
        *id = last.thread == caller && last.callerId == callerId && last.id != -1
                  ? last.id
                  : w->FirstActiveId(job, callerId, nullptr);
    });
    return answered ? *id : -1;
}

bool DBBackend::checkDialedNumber(const std::string& callerId, const std::string& number)
{
    Log(Debug, "checkDialedNumber by callerid=", callerId, ", number=", number);
    Worker* w = worker.get();
    auto verdict = std::make_shared<Blacklist>(Blacklist::Unreadable);
    const bool answered =
        worker->Ask([w, verdict, number](Job& job) { *verdict = w->CheckBlacklist(job, number); });
    // The blacklist stops toll fraud: a number that could not be checked is refused, never let through.
    if (!answered || *verdict == Blacklist::Unreadable) {
        Log(Warning, "checkDialedNumber: the blacklist cannot be read, refusing number=", number);
        return false;
    }
    return *verdict == Blacklist::Allows;
}

DBBackend::Presence DBBackend::OptionalObjectsOf(const std::string& feature, std::vector<std::string>* missing)
{
    Worker* w = worker.get();
    auto presence = std::make_shared<Presence>(Presence::Unknown);
    auto keys = std::make_shared<std::vector<std::string>>();
    const bool answered = worker->Ask(
        [w, presence, keys, feature](Job& job) { *presence = w->OptionalObjectsOf(job, feature, *keys); });
    if (!answered)
        return Presence::Unknown;
    if (missing)
        *missing = *keys;
    return *presence;
}

void DBBackend::CheckCallers(std::vector<IncomingCaller>& callers, bool lockout)
{
    Worker* w = worker.get();
    for (IncomingCaller& caller : callers)
        caller = IncomingCaller{caller.callerId}; // unknown, unless the answer comes
    auto answered = std::make_shared<std::vector<IncomingCaller>>(callers);
    if (worker->Ask([w, answered, lockout](Job& job) { w->CheckCallers(job, *answered, lockout); }))
        callers = *answered;
}

void DBBackend::SaveIncomingCalls(std::vector<IncomingRow>& rows)
{
    Worker* w = worker.get();
    for (IncomingRow& row : rows)
        row.id = -1; // no row, unless the answer comes
    auto saved = std::make_shared<std::vector<IncomingRow>>(rows);
    if (worker->Ask([w, saved](Job& job) { w->SaveIncomingCalls(job, *saved); }))
        rows = *saved;
}

void DBBackend::SaveIncomingCall(const std::string& callerId, int uid, int result, const std::string& dest,
                                 int& id)
{
    Worker* w = worker.get();
    auto row = std::make_shared<int>(-1);
    const bool answered = worker->Ask([w, row, callerId, uid, result, dest](Job& job) {
        *row = w->SaveIncomingCall(job, callerId, uid, result, dest);
    });
    id = answered ? *row : -1;
}

IDBBackend::LockoutStore DBBackend::PinLockoutStore()
{
    switch (OptionalObjectsOf(kPinLockoutFeature)) {
    case Presence::Present:
        return LockoutStore::Ready;
    case Presence::Missing:
        return LockoutStore::Missing;
    case Presence::Unknown:
        break;
    }
    return LockoutStore::Unknown;
}

bool DBBackend::IsLockedOut(const std::string& callerId)
{
    Worker* w = worker.get();
    auto locked = std::make_shared<bool>(false);
    const bool answered =
        worker->Ask([w, locked, callerId](Job& job) { *locked = w->IsLockedOut(job, callerId); });
    return answered && *locked;
}

IDBBackend::FailedSession DBBackend::RecordFailedSession(const std::string& callerId, int uid, int threshold,
                                                         int windowMinutes, int lockMinutes)
{
    Worker* w = worker.get();
    auto result = std::make_shared<FailedSession>();
    const bool answered = worker->Ask([w, result, callerId, uid, threshold, windowMinutes, lockMinutes](Job& job) {
        *result = w->RecordFailedSession(job, callerId, uid, threshold, windowMinutes, lockMinutes);
    });
    return answered ? *result : FailedSession{};
}

void DBBackend::ClearFailedSessions(const std::string& callerId)
{
    Worker* w = worker.get();
    worker->Ask([w, callerId](Job& job) { w->ClearFailedSessions(job, callerId); });
}
