// How the console's main window copes with a full database and with calls arriving while it is open:
// filling a database with 10,000 subscribers and 100,000 incoming calls, showing the window and each
// tab, then bursts of calls from another connection (50 and 200 a second) with the Incoming tab shown:
// the lag from each call's commit to its row in the view's model, the share of time the window's
// thread is busy (from its event dispatcher's wake-ups), and the lateness of a 10 ms timer meanwhile.
// It looks at the window only through its views, so it measures any model behind them alike. Prints
// figures in milliseconds; asserts nothing.
//
// Run it against the private test server:
//   fbdir=$(mktemp -d /tmp/selvane-fb.XXXXXX); tests/fbserver.sh start $fbdir; . $fbdir/env
//   ninja -C build selvdesk_bench && build/bin/selvdesk_bench          # full size, under a minute
//   build/bin/selvdesk_bench 0.1                                        # sizes and bursts scaled down
//   tests/fbserver.sh stop $fbdir
#include "console/Selvdesk.h"
#include "tests/support/TestDatabase.h"

#include <QAbstractEventDispatcher>
#include <QAbstractItemModel>
#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QSignalSpy>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double MsSince(Clock::time_point start) { return Ms(Clock::now() - start); }

void Heading(const char* text)
{
    std::printf("\n== %s\n", text);
    std::fflush(stdout);
}

void Figure(const char* label, double ms, const QString& note = QString())
{
    std::printf("  %-52s %10.1f ms%s%s\n", label, ms, note.isEmpty() ? "" : "   ",
                note.toLocal8Bit().constData());
    std::fflush(stdout);
}

void Note(const QString& text)
{
    std::printf("  %s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

struct Spread
{
    size_t count = 0;
    double median = 0, p99 = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values)
{
    Spread s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto at = [&values](double q) { return values[std::min(values.size() - 1, size_t(q * double(values.size())))]; };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

QString Describe(const Spread& s)
{
    return QString("median %1, p99 %2, max %3 ms (n=%4)")
        .arg(s.median, 0, 'f', 1)
        .arg(s.p99, 0, 'f', 1)
        .arg(s.max, 0, 'f', 1)
        .arg(s.count);
}

[[noreturn]] void Fail(const QString& what) { throw std::runtime_error(what.toStdString()); }

void Exec(QSqlQuery& query, const QString& sql)
{
    if (!query.exec(sql))
        Fail(QString("%1: %2").arg(sql.left(200), query.lastError().text()));
}

// Runs the event loop until loop.quit() or the timeout; false on timeout.
bool Run(QEventLoop& loop, int timeoutMs)
{
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();
    return !timedOut;
}

// Lets the event loop run for a while (spacing between inserts, stragglers after a warm-up).
void Idle(int ms)
{
    QEventLoop loop;
    Run(loop, std::max(0, ms));
}

// Sees a widget's paint events; quits the given loop once one arrived, so the loop returns when that
// paint has finished.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QWidget* widget) : widget_(widget) { widget_->installEventFilter(this); }
    ~PaintWatch() override { widget_->removeEventFilter(this); }
    int paints = 0;
    QEventLoop* loop = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == widget_ && event->type() == QEvent::Paint) {
            ++paints;
            if (loop)
                loop->quit();
        }
        return false;
    }

private:
    QWidget* widget_;
};

// --- Filling -------------------------------------------------------------------------------------

constexpr const char* kServiceInsert = "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) "
                                       "VALUES (gen_id(NEW_INCOMING_ID,1), current_timestamp, ?, ?, ?, ?)";

struct Subscriber
{
    int id;
    QString callerId;
};

struct Filled
{
    std::vector<Subscriber> active, inactive;
    int calls = 0;
    int callsShown = 0; // calls that name a subscriber: the Incoming model joins USERS, so only these show
};

// Sends statements in EXECUTE BLOCK batches; Firebird 3 takes at most 64 KB of statement text and
// 256 table contexts (one per INSERT) in one request.
class Batcher
{
public:
    explicit Batcher(QSqlDatabase db) : query_(db) {}
    void add(const QString& statement)
    {
        if (body_.size() + statement.size() > 48000 || statements_ == 200)
            flush();
        body_ += statement;
        ++statements_;
        body_ += QLatin1String(";\n");
    }
    void flush()
    {
        if (body_.isEmpty())
            return;
        Exec(query_, "EXECUTE BLOCK AS BEGIN\n" + body_ + "END");
        body_.clear();
        statements_ = 0;
        ++batches_;
    }
    int batches() const { return batches_; }

private:
    QSqlQuery query_;
    QString body_;
    int statements_ = 0;
    int batches_ = 0;
};

Filled Fill(QSqlDatabase db, int users, int calls)
{
    Filled filled;
    if (!db.transaction())
        Fail("cannot start the filling transaction: " + db.lastError().text());
    const auto start = Clock::now();

    // Nine subscribers in ten are active; IDs come from the schema's trigger and generator.
    Batcher batch(db);
    for (int i = 0; i < users; ++i)
        batch.add(QString("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES ('%1', '%2', %3, "
                          "'Subscriber %4', %5)")
                      .arg(7000000 + i)
                      .arg(1000 + (i * 37) % 9000)
                      .arg(i % 4)
                      .arg(i)
                      .arg(i % 10 == 9 ? 0 : 1));
    batch.flush();
    const double usersMs = MsSince(start);
    const int userBatches = batch.batches();

    QSqlQuery query(db);
    Exec(query, "SELECT ID, CALLERID, IS_ACTIVE FROM USERS ORDER BY ID");
    while (query.next())
        (query.value(2).toInt() ? filled.active : filled.inactive)
            .push_back({query.value(0).toInt(), query.value(1).toString()});
    if (filled.active.empty())
        Fail("no active subscriber after filling");

    // Calls spread over the last 90 days: 18 in 20 from active subscribers, one from a subscriber who
    // has left, one from an unknown number (no UID).
    const auto callsStart = Clock::now();
    const QDateTime first = QDateTime::currentDateTime().addDays(-90);
    const qint64 step = std::max<qint64>(1, 90LL * 24 * 3600 / std::max(1, calls));
    for (int k = 0; k < calls; ++k) {
        QString uid = "NULL", callerId = QString::number(9100000 + k % 50000);
        if (k % 20 == 1 && !filled.inactive.empty()) {
            const Subscriber& s = filled.inactive[size_t(k / 20) % filled.inactive.size()];
            uid = QString::number(s.id);
            callerId = s.callerId;
        } else if (k % 20 != 0) {
            const Subscriber& s = filled.active[(size_t(k) * 7919) % filled.active.size()];
            uid = QString::number(s.id);
            callerId = s.callerId;
        }
        if (uid != "NULL")
            ++filled.callsShown;
        batch.add(QString("INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
                          "(gen_id(NEW_INCOMING_ID,1), '%1', '%2', %3, %4, '%2')")
                      .arg(first.addSecs(k * step).toString("yyyy-MM-dd HH:mm:ss"), callerId, uid)
                      .arg(k % 4));
    }
    batch.flush();
    const double callsMs = MsSince(callsStart);

    const auto commitStart = Clock::now();
    if (!db.commit())
        Fail("cannot commit the filling: " + db.lastError().text());
    const double commitMs = MsSince(commitStart);
    filled.calls = calls;

    Heading("1. Filling (one transaction, EXECUTE BLOCK batches)");
    Figure(qPrintable(QString("%1 subscribers (%2 active)").arg(users).arg(filled.active.size())), usersMs,
           QString("%1 batches").arg(userBatches));
    Figure(qPrintable(QString("%1 incoming calls (%2 with a subscriber)").arg(calls).arg(filled.callsShown)), callsMs,
           QString("%1 batches").arg(batch.batches() - userBatches));
    Figure("commit", commitMs);
    Figure("filling in all", MsSince(start));
    return filled;
}

// --- The window ----------------------------------------------------------------------------------

struct Window
{
    Selvdesk* desk;
    QTabWidget* tabs;
};

QTableView* ViewOfTab(QTabWidget* tabs, int index)
{
    QTableView* view = tabs->widget(index)->findChild<QTableView*>();
    if (!view)
        Fail(QString("tab %1 has no table view").arg(index));
    return view;
}

void ShowAndSwitchTabs(const Window& w)
{
    Heading("2. Showing the window and its tabs");
    auto start = Clock::now();
    w.desk->show(); // the show event checks the schema and sets up the three models
    const double showMs = MsSince(start);
    const bool exposed = QTest::qWaitForWindowExposed(w.desk, 10000);
    const double exposedMs = MsSince(start);
    if (!w.desk->incomingModel() || !w.desk->usersModel() || !w.desk->blacklistModel())
        Fail("the window set up no models (schema check or connection failed)");
    Figure("show(): schema check + three models", showMs);
    Figure("until the window is exposed", exposedMs, exposed ? QString() : QString("(timed out)"));

    start = Clock::now();
    w.desk->checkDatabase();
    Figure("of which the schema check alone (run again)", MsSince(start));

    // Every tab once, the one shown first last, so each switch really changes the page.
    std::vector<int> order;
    for (int i = 1; i <= w.tabs->count(); ++i)
        order.push_back((w.tabs->currentIndex() + i) % w.tabs->count());
    for (int index : order) {
        QTableView* view = ViewOfTab(w.tabs, index);
        PaintWatch watch(view->viewport());
        QEventLoop loop;
        watch.loop = &loop;
        start = Clock::now();
        w.tabs->setCurrentIndex(index);
        const double switchMs = MsSince(start);
        const bool painted = watch.paints > 0 || Run(loop, 10000);
        const QString label = QString("switch to %1, until painted").arg(w.tabs->tabText(index).remove('&'));
        Figure(qPrintable(label), MsSince(start),
               painted ? QString("(setCurrentIndex %1 ms, %2 rows loaded)")
                             .arg(switchMs, 0, 'f', 1)
                             .arg(view->model() ? view->model()->rowCount() : 0)
                       : QString("(no paint within 10 s)"));
    }
}

// Posts every event the window listens to until each has reached the window's connection once: the
// driver drops the first callback of each subscription.
void WarmUpEvents(QSqlDatabase windowDb, QSqlDatabase other)
{
    QSqlDriver* driver = windowDb.driver();
    QSignalSpy spy(driver, qOverload<const QString&, QSqlDriver::NotificationSource, const QVariant&>(
                               &QSqlDriver::notification));
    const QStringList events = driver->subscribedToNotifications();
    QString block = "EXECUTE BLOCK AS BEGIN ";
    for (const QString& event : events)
        block += QString("POST_EVENT '%1'; ").arg(event);
    block += "END";

    std::set<QString> seen;
    QSqlQuery query(other);
    for (int round = 0; round < 50 && seen.size() < size_t(events.size()); ++round) {
        // The driver keeps the transaction of an EXECUTE BLOCK open like a select's, and the events
        // go out only at its commit.
        if (!other.transaction())
            Fail("cannot start a transaction: " + other.lastError().text());
        Exec(query, block);
        if (!other.commit())
            Fail("cannot commit the posted events: " + other.lastError().text());
        spy.wait(300);
        for (const QList<QVariant>& signal : spy)
            seen.insert(signal.at(0).toString());
        spy.clear();
    }
    if (seen.size() < size_t(events.size()))
        Fail("the window's event subscriptions never all delivered");
    while (spy.wait(500)) // the last round's stragglers
        spy.clear();
}

// The marker in DEST of a benchmark call, or -1: "<prefix><n>".
int MarkerOf(const QVariant& dest, QChar prefix)
{
    const QString text = dest.toString().trimmed();
    if (text.size() < 2 || text.at(0) != prefix)
        return -1;
    bool ok = false;
    const int n = text.mid(1).toInt(&ok);
    return ok ? n : -1;
}

int ColumnNamed(const QAbstractItemModel* model, const QString& name)
{
    for (int column = 0; column < model->columnCount(); ++column)
        if (model->headerData(column, Qt::Horizontal).toString().compare(name, Qt::CaseInsensitive) == 0)
            return column;
    Fail("the Incoming model has no column " + name);
}

// Calls from other connections, each in its own thread, paced together at the given rate, each marked
// in DEST. One commit takes a few milliseconds, so a high rate needs several connections, as several
// lines of a busy service would use.
struct Producer
{
    std::vector<Clock::time_point> commits;
    std::atomic<int> sent{0};
    std::atomic<int> running{0};
    std::mutex errorMutex;
    QString error;
    std::vector<std::thread> threads;

    bool finished() const { return running == 0; }
    QString failure()
    {
        std::lock_guard<std::mutex> lock(errorMutex);
        return error;
    }

    void start(const TestDatabase& t, const Filled& filled, int count, int perSecond, QChar prefix)
    {
        commits.resize(size_t(count));
        const int connections = std::max(2, perSecond / 25);
        running = connections;
        const auto start = Clock::now() + std::chrono::milliseconds(200); // after every connection opened
        for (int c = 0; c < connections; ++c)
            threads.emplace_back([this, c, connections, start, server = t.server(), path = t.path(),
                                  active = filled.active, count, perSecond, prefix] {
                const QString name = QString("selvdesk-bench-burst-%1").arg(c);
                {
                    QSqlDatabase db = QSqlDatabase::addDatabase("QIBASE", name);
                    db.setHostName(server.host);
                    db.setPort(server.port);
                    db.setDatabaseName(path);
                    db.setUserName(server.user);
                    db.setPassword(server.password);
                    QSqlQuery insert(db);
                    QString failed;
                    if (!db.open())
                        failed = "burst connection: " + db.lastError().text();
                    else if (!(insert = QSqlQuery(db)).prepare(kServiceInsert))
                        failed = "burst prepare: " + insert.lastError().text();
                    const auto period = std::chrono::microseconds(1000000 / perSecond);
                    for (int i = c; i < count && failed.isEmpty(); i += connections) {
                        std::this_thread::sleep_until(start + i * period);
                        const Subscriber& s = active[size_t(i * 17) % active.size()];
                        insert.bindValue(0, s.callerId);
                        insert.bindValue(1, s.id);
                        insert.bindValue(2, i % 4);
                        insert.bindValue(3, QString("%1%2").arg(prefix).arg(i));
                        if (!insert.exec()) {
                            failed = "burst insert: " + insert.lastError().text();
                            break;
                        }
                        commits[size_t(i)] = Clock::now();
                        ++sent;
                    }
                    if (!failed.isEmpty()) {
                        std::lock_guard<std::mutex> lock(errorMutex);
                        error = failed;
                    }
                    insert = QSqlQuery();
                    db.close();
                }
                QSqlDatabase::removeDatabase(name);
                --running;
            });
    }
    void join()
    {
        for (std::thread& thread : threads)
            thread.join();
        threads.clear();
    }
};

// When each marked call first shows among the rows the model changed (a reset: its first screenful).
class RowProbe
{
public:
    RowProbe(QAbstractItemModel* model, QChar prefix, int count)
        : model_(model), prefix_(prefix), dest_(ColumnNamed(model, "DEST")), seenAt_(size_t(count))
    {
        connections_ << QObject::connect(model, &QAbstractItemModel::modelReset, [this] {
            ++resets;
            scan(0, std::min(model_->rowCount(), 400) - 1);
        });
        connections_ << QObject::connect(model, &QAbstractItemModel::rowsInserted,
                                         [this](const QModelIndex&, int first, int last) { scan(first, last); });
    }
    ~RowProbe()
    {
        for (const QMetaObject::Connection& c : connections_)
            QObject::disconnect(c);
    }
    int seen = 0;
    int resets = 0;
    const std::vector<Clock::time_point>& seenAt() const { return seenAt_; }

private:
    void scan(int first, int last)
    {
        const auto now = Clock::now();
        for (int row = first; row <= last; ++row) {
            const int marker = MarkerOf(model_->index(row, dest_).data(), prefix_);
            if (marker >= 0 && size_t(marker) < seenAt_.size() && seenAt_[size_t(marker)] == Clock::time_point{}) {
                seenAt_[size_t(marker)] = now;
                ++seen;
            }
        }
    }
    QAbstractItemModel* model_;
    QChar prefix_;
    int dest_;
    std::vector<Clock::time_point> seenAt_;
    QList<QMetaObject::Connection> connections_;
};

// The time the thread's event dispatcher spends awake, i.e. the window's thread is not idle.
class BusyMeter
{
public:
    BusyMeter()
    {
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        awake_ = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [this] {
            if (!awakeSince_)
                awakeSince_ = Clock::now();
        });
        asleep_ = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] {
            if (awakeSince_)
                busy_ += Clock::now() - *awakeSince_;
            awakeSince_.reset();
        });
    }
    ~BusyMeter()
    {
        QObject::disconnect(awake_);
        QObject::disconnect(asleep_);
    }
    // A thread that never got to sleep is still awake: its open stretch counts too.
    double busyMs() const { return Ms(busy_ + (awakeSince_ ? Clock::now() - *awakeSince_ : Clock::duration{})); }

private:
    QMetaObject::Connection awake_, asleep_;
    std::optional<Clock::time_point> awakeSince_;
    Clock::duration busy_{};
};

void MeasureBurst(const Window& w, const TestDatabase& t, const Filled& filled, int perSecond, double seconds,
                  QChar prefix)
{
    const int count = std::max(1, int(std::lround(seconds * perSecond)));
    Heading(qPrintable(QString("%1. A burst of %2 calls per second for %3 s from another connection, Incoming tab shown")
                           .arg(perSecond == 50 ? 3 : 4)
                           .arg(perSecond)
                           .arg(seconds, 0, 'f', 1)));
    QAbstractItemModel* model = ViewOfTab(w.tabs, 1)->model();
    if (!model)
        Fail("the Incoming view has no model");
    w.tabs->setCurrentIndex(1);
    Idle(300);

    QSignalSpy notifications(w.desk->database().driver(),
                             qOverload<const QString&, QSqlDriver::NotificationSource, const QVariant&>(
                                 &QSqlDriver::notification));
    RowProbe probe(model, prefix, count);

    // The GUI thread's pulse: a 10 ms timer, and how late each tick comes.
    std::vector<double> lateness;
    Clock::time_point lastTick = Clock::now();
    QTimer pulse;
    pulse.setTimerType(Qt::PreciseTimer);
    pulse.setInterval(10);
    QObject::connect(&pulse, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        lateness.push_back(std::max(0.0, Ms(now - lastTick) - 10.0));
        lastTick = now;
    });

    Producer producer;
    std::optional<BusyMeter> busy;
    busy.emplace();
    const auto start = Clock::now();
    lastTick = start;
    pulse.start();
    producer.start(t, filled, count, perSecond, prefix);

    // Until the producer is done and the model holds its last call, or the time is up.
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (producer.finished() && (!producer.failure().isEmpty() || probe.seen >= producer.sent))
            loop.quit();
    });
    poll.start();
    const bool caughtUp = Run(loop, int(seconds * 1000) + 60000);
    const double elapsedMs = MsSince(start);
    const double busyMs = busy->busyMs();
    busy.reset();
    pulse.stop();
    poll.stop();
    producer.join();
    if (!producer.failure().isEmpty())
        Fail(producer.failure());

    const int sent = producer.sent;
    int incomingEvents = 0;
    for (const QList<QVariant>& signal : notifications)
        incomingEvents += signal.at(0).toString() == "incominglog_insert";
    std::vector<double> lags;
    Clock::time_point lastCommit = start;
    for (int i = 0; i < sent; ++i) {
        lastCommit = std::max(lastCommit, producer.commits[size_t(i)]);
        if (probe.seenAt()[size_t(i)] != Clock::time_point{})
            lags.push_back(Ms(probe.seenAt()[size_t(i)] - producer.commits[size_t(i)]));
    }
    const double sendMs = Ms(lastCommit - start);

    Figure("calls committed", sendMs, QString("(%1 calls over %2 connections, %3 per second achieved)")
                                          .arg(sent)
                                          .arg(std::max(2, perSecond / 25))
                                          .arg(sendMs > 0 ? sent * 1000.0 / sendMs : 0.0, 0, 'f', 1));
    if (!caughtUp)
        Note(QString("the model did not show every call within %1 ms: %2 of %3 seen")
                 .arg(elapsedMs, 0, 'f', 0)
                 .arg(lags.size())
                 .arg(sent));
    Note("lag of every call (commit until its row is in the model): " + Describe(SpreadOf(lags)));
    Note(QString("events received: %1 incominglog_insert for %2 calls; model resets: %3")
             .arg(incomingEvents)
             .arg(sent)
             .arg(probe.resets));
    Note(QString("window's thread busy: %1 ms of %2 ms (%3%)")
             .arg(busyMs, 0, 'f', 0)
             .arg(elapsedMs, 0, 'f', 0)
             .arg(elapsedMs > 0 ? 100.0 * busyMs / elapsedMs : 0.0, 0, 'f', 1));
    Note("10 ms timer lateness in the window's thread: " + Describe(SpreadOf(lateness)));
}

// The console traces every event and schema object through qDebug, and the offscreen platform warns
// about each window's size hints; the figures would drown in it.
QtMessageHandler g_previousHandler = nullptr;
void QuietDebug(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || message.contains(QLatin1String("propagateSizeHints")))
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own dispatcher tells when the thread wakes and goes to sleep; the glib one does not.
    qputenv("QT_NO_GLIB", "1");
    g_previousHandler = qInstallMessageHandler(QuietDebug);
    QApplication app(argc, argv);

    double scale = 1.0;
    if (argc > 1) {
        bool ok = false;
        scale = QString::fromLocal8Bit(argv[1]).toDouble(&ok);
        if (!ok || scale <= 0 || scale > 10) {
            std::fprintf(stderr, "usage: %s [scale]   (scale in (0, 10], default 1: 10,000 subscribers, "
                                 "100,000 calls, bursts of 10 s)\n",
                         argv[0]);
            return 2;
        }
    }
    const int users = std::max(10, int(std::lround(10000 * scale)));
    const int calls = std::max(100, int(std::lround(100000 * scale)));
    const double burstSeconds = std::max(1.0, 10 * scale);
    std::printf("Selvdesk benchmark, scale %g: %d subscribers, %d incoming calls\n", scale, users, calls);

    try {
        TestDatabase t(TestDatabase::FullSchema);
        QSqlDatabase other = t.connect(); // the service's connection
        const Filled filled = Fill(t.db(), users, calls);

        auto desk = std::make_unique<Selvdesk>();
        desk->resize(1024, 768);
        desk->setDatabase(t.db());
        auto* tabs = desk->findChild<QTabWidget*>("tabWidget");
        if (!tabs || tabs->count() != 4)
            Fail("the window has no tabWidget with four tabs");
        const Window w{desk.get(), tabs};

        ShowAndSwitchTabs(w);
        WarmUpEvents(t.db(), other);
        MeasureBurst(w, t, filled, 50, burstSeconds, 'B');
        MeasureBurst(w, t, filled, 200, burstSeconds, 'C');
        desk.reset(); // before the database goes
    } catch (const std::exception& e) {
        std::fprintf(stderr, "selvdesk_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
