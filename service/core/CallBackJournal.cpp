#include "service/core/CallBackJournal.h"

#include "common/Logging.h"
#include "common/Schema.h"
#include "service/core/CBSrvSettings.h"
#include "service/core/CallBackQueue.h"
#include "service/core/DatabaseTarget.h"
#include "service/core/DBBackend.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_writers{0};

QString ToQString(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Width of OUTGOINGLOG's LINE and DESTINATION columns.
constexpr int kNumberColumnWidth = 20;

QVariant OrNull(int value) { return value ? QVariant(value) : QVariant(QMetaType::fromType<int>()); }

QVariant OrNull(const std::string& text)
{
    return text.empty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(ToQString(text).left(kNumberColumnWidth));
}

} // namespace

// The writer's thread and what only it touches: the connection and the ids of the attempts' rows.
class CallBackJournal::Writer
{
public:
    // True when the write is done or cannot ever be done (a bad row, which is logged and dropped);
    // false when the database did not take it, so it is tried again later.
    using Work = std::function<bool(Writer&)>;
    enum class Feature { Unknown, On, Off };

    using Target = DatabaseTarget;

    explicit Writer(QString name) : connectionName(std::move(name)) {}

    void Configure(const Target& t, CallBackQueue* q, bool persist, bool outgoing)
    {
        target = t;
        queue = q;
        persistQueue = persist;
        outgoingLog = outgoing ? Feature::Unknown : Feature::Off;
    }

    void Run(const std::shared_ptr<Writer>& self)
    {
        thread = std::thread([self] { self->Loop(); });
    }

    void RequestStart()
    {
        std::lock_guard<std::mutex> lock(mutex);
        startRequested = true;
        wake.notify_all();
    }

    bool WaitStarted(std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        // A database that refused the start is not waited for: it is tried again on the ticks.
        changed.wait_for(lock, wait, [this] { return started || blocked; });
        return started;
    }

    void Post(Work work)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return;
        jobs.push_back(std::move(work));
        wake.notify_all();
    }

    void Unblock()
    {
        std::lock_guard<std::mutex> lock(mutex);
        blocked = false;
        wake.notify_all();
    }

    bool Flush(std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, wait, [this] { return blocked || (!HasWork() && !busy); }) && !blocked;
    }

    // One more try for what is pending, then the thread ends.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            blocked = false;
            wake.notify_all();
        }
        if (thread.joinable())
            thread.join();
    }

    Feature OutgoingLog() const { return outgoingLog.load(); }

    // Database thread only, from here on.
    QSqlDatabase Connection() const { return QSqlDatabase::database(connectionName, false); }

    // Runs a prepared statement; on failure closes a connection that is gone (so the next try opens it
    // anew) and says whether to try again.
    bool Exec(QSqlQuery& query, bool& retry)
    {
        if (query.exec())
            return true;
        lastError = query.lastError().text().toStdString();
        query.clear();
        retry = !Alive();
        if (!retry)
            Log(Warning, "CallBackJournal: a row could not be written and is dropped: ", lastError);
        return false;
    }

    // Prepares and runs `sql` with the values bound in order, then hands the result to `read`; true when
    // done or dropped for good.
    bool Write(const char* sql, const std::vector<QVariant>& values,
               const std::function<void(QSqlQuery&)>& read = {})
    {
        if (!Open())
            return false;
        QSqlQuery query(Connection());
        bool retry = false;
        if (!query.prepare(QString::fromLatin1(sql))) {
            lastError = query.lastError().text().toStdString();
            query.clear();
            retry = !Alive();
            if (!retry)
                Log(Warning, "CallBackJournal: a statement could not be prepared: ", lastError);
            return !retry;
        }
        for (size_t i = 0; i < values.size(); ++i)
            query.bindValue(int(i), values[i]);
        if (!Exec(query, retry))
            return !retry;
        if (read)
            read(query);
        return true;
    }

    std::map<std::string, int> rowIds; // attempt key -> OUTGOINGLOG.ID

private:
    // Whether the connection still answers; one that does not is closed, to be opened anew.
    bool Alive()
    {
        QSqlDatabase db = Connection();
        bool alive = false;
        {
            QSqlQuery probe(db);
            alive = probe.exec(QStringLiteral("SELECT 1 FROM RDB$DATABASE")) && probe.next();
        }
        if (!alive)
            db.close();
        return alive;
    }

    bool HasWork() const { return (startRequested && !started) || !jobs.empty(); }

    bool Open()
    {
        QSqlDatabase db = Connection();
        if (db.isValid() && db.isOpen())
            return true;
        if (!db.isValid())
            db = QSqlDatabase::addDatabase(target.driver, connectionName);
        PointAt(db, target);
        // A host that drops packets would hold the driver's attempt, and with it the service's stop, for
        // minutes; it is tried again on the next tick.
        if (!ServerAnswersInTime(target, DBBackend::kConnectTimeoutSeconds, lastError))
            return false;
        if (db.open())
            return true;
        lastError = db.lastError().text().toStdString();
        return false;
    }

    // The start's work, done once in parts; false when the database did not answer.
    bool StartWork()
    {
        if (!Open())
            return false;
        if (outgoingLog.load() == Feature::Unknown) {
            std::vector<std::string> missing;
            for (const Schema::OptionalObject* object : Schema::OptionalObjectsOf("outgoing log")) {
                QSqlQuery query(Connection());
                if (!query.exec(QString::fromLatin1(object->probe.data(), qsizetype(object->probe.size())))) {
                    lastError = query.lastError().text().toStdString();
                    Connection().close();
                    return false;
                }
                if (!query.next() || query.value(0).toInt() <= 0)
                    missing.emplace_back(object->key);
            }
            if (missing.empty()) {
                outgoingLog = Feature::On;
            } else {
                std::string list;
                for (const std::string& key : missing)
                    list += (list.empty() ? "" : ", ") + key;
                Log(Error, "The outgoing log is off: the database lacks ", list,
                    " (the console's schema repair adds them)");
                outgoingLog = Feature::Off;
            }
        }
        if (outgoingLog.load() == Feature::On && !interruptedClosed) {
            QSqlQuery query(Connection());
            query.prepare(QStringLiteral("UPDATE OUTGOINGLOG SET END_REASON = ? WHERE END_REASON IS NULL"));
            query.bindValue(0, int(EndReason::Interrupted));
            bool retry = false;
            if (!Exec(query, retry) && retry)
                return false;
            if (query.numRowsAffected() > 0)
                Log(Notice, "CallBackJournal closed ", query.numRowsAffected(),
                    " callback attempts left open as interrupted");
            interruptedClosed = true;
        }
        if (persistQueue && !restored) {
            QSqlQuery query(Connection());
            query.setForwardOnly(true);
            query.prepare(QStringLiteral("SELECT Q.CID, Q.UID, Q.ATTEMPTS, I.DEST FROM QUEUE Q JOIN INCOMINGLOG I ON "
                                         "I.ID = Q.CID ORDER BY Q.ID"));
            bool retry = false;
            if (!Exec(query, retry) && retry)
                return false;
            std::vector<QueueEntry> entries;
            while (query.next())
                entries.push_back({query.value(3).toString().toStdString(), query.value(2).toInt(),
                                   query.value(0).toInt(), query.value(1).toInt()});
            restored = true;
            const int n = queue ? queue->Restore(entries) : 0;
            Log(Notice, "CallBackQueue restored ", n, " numbers from the database");
        }
        return true;
    }

    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            wake.wait(lock, [this] { return stopping || (!blocked && HasWork()); });
            if (blocked || !HasWork()) {
                if (stopping)
                    break;
                continue;
            }
            const bool starting = startRequested && !started;
            Work work = starting ? Work() : jobs.front();
            busy = true;
            lock.unlock();
            const bool done = starting ? StartWork() : work(*this);
            lock.lock();
            busy = false;
            if (done) {
                if (starting)
                    started = true;
                else
                    jobs.pop_front();
                if (warned && !HasWork()) {
                    warned = false;
                    Log(Informational, "CallBackJournal: the database has everything written again");
                }
            } else {
                blocked = true;
                if (!warned) {
                    warned = true;
                    Log(Warning, "CallBackJournal: the database did not take the callbacks' rows, tried again on "
                                 "the next tick: ",
                        lastError);
                }
            }
            changed.notify_all();
        }
        if (!jobs.empty())
            Log(Warning, "CallBackJournal: ", jobs.size(), " writes not done at the stop");
        jobs.clear();
        changed.notify_all();
        lock.unlock();
        {
            QSqlDatabase db = Connection();
            if (db.isValid())
                db.close();
        }
        if (QSqlDatabase::contains(connectionName))
            QSqlDatabase::removeDatabase(connectionName);
    }

    const QString connectionName;
    Target target;
    CallBackQueue* queue = nullptr;
    bool persistQueue = false;
    std::atomic<Feature> outgoingLog{Feature::Off};
    bool interruptedClosed = false; // database thread only
    bool restored = false;          // likewise
    std::string lastError;          // likewise

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable changed;
    std::deque<Work> jobs;
    bool startRequested = false;
    bool started = false;
    bool blocked = false;
    bool busy = false;
    bool warned = false;
    bool stopping = false;
    std::thread thread;
};

CallBackJournal::CallBackJournal(const QString& databaseName)
    : writer(std::make_shared<Writer>(QStringLiteral("selvane-journal-%1").arg(++g_writers))),
      databaseName_(databaseName)
{
}

CallBackJournal::~CallBackJournal()
{
    writer->Stop();
}

void CallBackJournal::SetSettings(CBSrvSettings* s)
{
    settings = s;
}

void CallBackJournal::SetQueue(CallBackQueue* q)
{
    queue_ = q;
}

bool CallBackJournal::LogsOutgoing() const
{
    return logOutgoing && writer->OutgoingLog() != Writer::Feature::Off;
}

void CallBackJournal::Start(std::chrono::milliseconds wait)
{
    if (!settings)
        return;
    persistQueue = settings->PersistQueue;
    logOutgoing = settings->LogOutgoing;
    if (!persistQueue && !logOutgoing)
        return;
    Writer::Target target{settings->DriverName, settings->HostName, databaseName_, settings->UserName,
                          settings->Password, settings->DatabasePort};
    writer->Configure(target, queue_, persistQueue, logOutgoing);
    writer->Run(writer);
    writer->RequestStart();
    if (!writer->WaitStarted(wait))
        Log(Warning, "CallBackJournal: the database did not answer at the start; the callback queue is read back "
                     "once it does");
}

void CallBackJournal::Tick()
{
    writer->Unblock();
}

void CallBackJournal::Stopping()
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    stopping = true;
}

bool CallBackJournal::Flush(std::chrono::milliseconds wait)
{
    return writer->Flush(wait);
}

void CallBackJournal::Queued(int incomingId, int uid)
{
    if (!persistQueue || incomingId < 0 || uid < 0)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    writer->Post([incomingId, uid, now](Writer& w) {
        return w.Write("INSERT INTO QUEUE (ID, CID, UID, CALL_BEGIN, ATTEMPTS) VALUES (gen_id(NEW_QUEUE_ID,1), ?, ?, ?, 0)",
                       {incomingId, uid, now});
    });
}

void CallBackJournal::BackInLine(int incomingId, int tries)
{
    if (!persistQueue || incomingId < 0)
        return;
    // A new ID puts the row behind every row now waiting: the rows are read back in ID order.
    writer->Post([incomingId, tries](Writer& w) {
        return w.Write("UPDATE QUEUE SET ID = gen_id(NEW_QUEUE_ID,1), ATTEMPTS = ? WHERE CID = ?", {tries, incomingId});
    });
}

void CallBackJournal::Gone(int incomingId)
{
    if (!persistQueue || incomingId < 0)
        return;
    writer->Post([incomingId](Writer& w) { return w.Write("DELETE FROM QUEUE WHERE CID = ?", {incomingId}); });
}

void CallBackJournal::AttemptPlaced(const std::string& key, int incomingId, int uid, const std::string& line)
{
    if (!LogsOutgoing() || key.empty() || incomingId < 0 || uid < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(attemptsLock);
        Attempt& a = attempts[key];
        a.incomingId = incomingId;
        a.uid = uid;
        a.line = line;
    }
    const QDateTime now = QDateTime::currentDateTime();
    writer->Post([key, incomingId, uid, line, now](Writer& w) {
        if (w.OutgoingLog() != Writer::Feature::On)
            return true;
        // The ID first, so that later changes find the row; the attempt number counts the request's rows.
        int id = -1, number = 1;
        if (!w.Write("SELECT gen_id(NEW_OUTGOING_ID,1), (SELECT COUNT(*) FROM OUTGOINGLOG WHERE CID = ?) FROM "
                     "RDB$DATABASE",
                     {incomingId}, [&](QSqlQuery& q) {
                         if (q.next()) {
                             id = q.value(0).toInt();
                             number = q.value(1).toInt() + 1;
                         }
                     }))
            return false;
        if (id < 0)
            return true; // dropped (logged)
        if (!w.Write("INSERT INTO OUTGOINGLOG (ID, CID, UID, CALL_BEGIN, CALL_LENGTH, ATTEMPT_NUMBER, ANSWERED, "
                     "PIN_RESULT, LINE) VALUES (?, ?, ?, ?, 0, ?, 0, 0, ?)",
                     {id, incomingId, uid, now, number, OrNull(line)}))
            return false;
        w.rowIds[key] = id;
        return true;
    });
}

void CallBackJournal::PostAttemptUpdate(const std::string& key, const Attempt& a, bool last)
{
    writer->Post([key, a, last](Writer& w) {
        auto it = w.rowIds.find(key);
        if (it == w.rowIds.end())
            return true; // its row was never written
        const bool done = w.Write("UPDATE OUTGOINGLOG SET CALL_LENGTH = ?, ANSWERED = ?, PIN_RESULT = ?, END_REASON = ?, "
                                  "SIP_STATUS = ?, DESTINATION = ? WHERE ID = ?",
                                  {a.length, a.answered ? 1 : 0, a.pin, OrNull(int(a.reason)), OrNull(a.sipStatus),
                                   OrNull(a.destination), it->second});
        if (done && last)
            w.rowIds.erase(key);
        return done;
    });
}

void CallBackJournal::AttemptAnswered(const std::string& key)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    auto it = attempts.find(key);
    if (it == attempts.end() || it->second.answered)
        return;
    it->second.answered = true;
    it->second.answeredAt = Clock::now();
    PostAttemptUpdate(key, it->second, false);
}

void CallBackJournal::AttemptPin(const std::string& key, bool correct)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    auto it = attempts.find(key);
    if (it == attempts.end())
        return;
    it->second.pin = correct ? PinCorrect : PinWrong;
    if (!correct)
        it->second.reason = EndReason::PinFailed;
    PostAttemptUpdate(key, it->second, false);
}

void CallBackJournal::AttemptDestination(const std::string& key, const std::string& destination)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    auto it = attempts.find(key);
    if (it == attempts.end())
        return;
    it->second.destination = destination;
    PostAttemptUpdate(key, it->second, false);
}

void CallBackJournal::AttemptOutcome(const std::string& key, EndReason reason, int sipStatus)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    auto it = attempts.find(key);
    if (it == attempts.end())
        return;
    it->second.reason = reason;
    if (sipStatus)
        it->second.sipStatus = sipStatus;
    PostAttemptUpdate(key, it->second, false);
}

void CallBackJournal::AttemptEnded(const std::string& key, int sipStatus)
{
    std::lock_guard<std::mutex> lock(attemptsLock);
    auto it = attempts.find(key);
    if (it == attempts.end())
        return;
    Attempt a = it->second;
    attempts.erase(it);
    if (a.answered)
        a.length = int(std::lround(std::chrono::duration<double>(Clock::now() - a.answeredAt).count()));
    if (a.reason == EndReason::None) {
        if (stopping)
            a.reason = EndReason::Interrupted;
        else if (a.answered)
            a.reason = EndReason::HungUp;
        else if (sipStatus == 408 || sipStatus == 480)
            a.reason = EndReason::NoAnswer;
        else if (sipStatus >= 300)
            a.reason = EndReason::Refused;
        else
            a.reason = EndReason::SetUpFailed;
        if (a.reason == EndReason::NoAnswer || a.reason == EndReason::Refused)
            a.sipStatus = sipStatus;
    }
    PostAttemptUpdate(key, a, true);
}
