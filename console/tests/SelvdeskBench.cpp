// How the console's main window copes with a full database and with calls arriving while it is open:
// filling a database with 10,000 subscribers and 100,000 incoming calls, showing the window and each
// tab, fetching every model to its end, the delay from a committed call to its row in the Incoming
// model, and a burst of calls (the model re-selects the whole table on every event) with the GUI
// thread's timer lateness meanwhile. Prints figures in milliseconds; asserts nothing.
//
// Run it against the private test server:
//   fbdir=$(mktemp -d /tmp/selvane-fb.XXXXXX); tests/fbserver.sh start $fbdir; . $fbdir/env
//   ninja -C build selvdesk_bench && build/bin/selvdesk_bench          # full size, under a minute
//   build/bin/selvdesk_bench 0.1                                        # sizes and burst scaled down
//   tests/fbserver.sh stop $fbdir
#include "console/Selvdesk.h"
#include "tests/support/TestDatabase.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QSignalSpy>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlRelationalTableModel>
#include <QSqlTableModel>
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

void FetchModels(const Window& w)
{
    Heading("2b. Fetching the models (views fetch lazily: first screen, then fetchMore to the end)");
    struct Named
    {
        const char* name;
        QSqlTableModel* model;
    };
    for (Named m : {Named{"Users", w.desk->usersModel()}, Named{"Incoming", w.desk->incomingModel()},
                    Named{"BlackList", w.desk->blacklistModel()}}) {
        auto start = Clock::now();
        if (!m.model->select())
            Fail(QString("%1: select failed: %2").arg(m.name, m.model->lastError().text()));
        const double firstMs = MsSince(start);
        const int firstRows = m.model->rowCount();
        start = Clock::now();
        while (m.model->canFetchMore())
            m.model->fetchMore();
        const double allMs = MsSince(start);
        const int allRows = m.model->rowCount();
        start = Clock::now();
        QCoreApplication::processEvents();
        const double settleMs = MsSince(start);
        Figure(qPrintable(QString("%1: select(), first screen (%2 rows)").arg(m.name).arg(firstRows)), firstMs);
        Figure(qPrintable(QString("%1: fetchMore to the end (%2 rows)").arg(m.name).arg(allRows)), allMs,
               QString("(then %1 ms of pending events)").arg(settleMs, 0, 'f', 1));
    }
}

// The DEST marker of a benchmark call, or -1: burst calls carry "B<n>", single ones "L<n>".
int MarkerOf(const QVariant& dest, QChar kind)
{
    const QString text = dest.toString();
    if (text.size() < 2 || text.at(0) != kind)
        return -1;
    bool ok = false;
    const int n = text.mid(1).toInt(&ok);
    return ok ? n : -1;
}

// The highest marker of the given kind among the rows the model has fetched.
int HighestMarker(QSqlRelationalTableModel* model, int destColumn, QChar kind)
{
    int highest = -1;
    for (int row = 0; row < model->rowCount(); ++row)
        highest = std::max(highest, MarkerOf(model->index(row, destColumn).data(), kind));
    return highest;
}

int DestColumn(QSqlRelationalTableModel* model)
{
    const int column = model->record().indexOf("DEST");
    if (column < 0)
        Fail("the Incoming model has no DEST column");
    return column;
}

void MeasureLatency(const Window& w, const Filled& filled, QSqlDatabase service, int samples)
{
    Heading("3. A committed call until its row is in the Incoming model (single calls, 200 ms apart)");
    w.tabs->setCurrentIndex(1); // as an operator watching the calls would have it
    Idle(300);
    QSqlRelationalTableModel* model = w.desk->incomingModel();
    const int dest = DestColumn(model);
    QSqlQuery insert(service);
    if (!insert.prepare(kServiceInsert))
        Fail("cannot prepare the service's insert: " + insert.lastError().text());

    int resets = 0;
    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        const Subscriber& s = filled.active[size_t(i * 131) % filled.active.size()];
        insert.bindValue(0, s.callerId);
        insert.bindValue(1, s.id);
        insert.bindValue(2, 1);
        insert.bindValue(3, QString("L%1").arg(i));
        if (!insert.exec())
            Fail("service insert failed: " + insert.lastError().text());
        const auto committed = Clock::now();

        QEventLoop loop;
        Clock::time_point seenAt{};
        auto check = [&] {
            if (HighestMarker(model, dest, 'L') >= i) {
                seenAt = Clock::now();
                loop.quit();
            }
        };
        const auto c1 = QObject::connect(model, &QAbstractItemModel::modelReset, &loop, [&] {
            ++resets;
            check();
        });
        const auto c2 = QObject::connect(model, &QAbstractItemModel::rowsInserted, &loop, check);
        if (Run(loop, 10000))
            latencies.push_back(Ms(seenAt - committed));
        else
            ++missed;
        QObject::disconnect(c1);
        QObject::disconnect(c2);
        Idle(200 - int(MsSince(start)));
    }
    Idle(300);
    const Spread spread = SpreadOf(latencies);
    Figure("latency, median", spread.median, QString("(%1 calls, %2 not seen within 10 s)").arg(samples).arg(missed));
    Figure("latency, max", spread.max);
    Note(QString("model re-selects during the test: %1; the new row is row %2 (rows sorted by ID %3)")
             .arg(resets)
             .arg(model->rowCount() > 0 && MarkerOf(model->index(0, dest).data(), 'L') == samples - 1 ? "0" : "not 0")
             .arg(model->rowCount() > 1 && model->index(0, 0).data().toInt() > model->index(1, 0).data().toInt()
                      ? "descending"
                      : "ascending"));
}

// Calls from another connection in its own thread, paced at the given rate.
struct Producer
{
    std::vector<Clock::time_point> commits;
    std::atomic<int> sent{0};
    std::atomic<bool> finished{false};
    QString error;
    std::thread thread;

    void start(const TestDatabase& t, const Filled& filled, int count, int perSecond)
    {
        commits.resize(size_t(count));
        const FbServerEnv server = t.server();
        const QString path = t.path();
        std::vector<Subscriber> active = filled.active;
        thread = std::thread([this, server, path, active, count, perSecond] {
            const QString name = "selvdesk-bench-burst";
            {
                QSqlDatabase db = QSqlDatabase::addDatabase("QIBASE", name);
                db.setHostName(server.host);
                db.setPort(server.port);
                db.setDatabaseName(path);
                db.setUserName(server.user);
                db.setPassword(server.password);
                if (!db.open()) {
                    error = "burst connection: " + db.lastError().text();
                } else {
                    QSqlQuery insert(db);
                    if (!insert.prepare(kServiceInsert))
                        error = "burst prepare: " + insert.lastError().text();
                    const auto start = Clock::now();
                    const auto period = std::chrono::microseconds(1000000 / perSecond);
                    for (int i = 0; i < count && error.isEmpty(); ++i) {
                        std::this_thread::sleep_until(start + i * period);
                        const Subscriber& s = active[size_t(i * 17) % active.size()];
                        insert.bindValue(0, s.callerId);
                        insert.bindValue(1, s.id);
                        insert.bindValue(2, i % 4);
                        insert.bindValue(3, QString("B%1").arg(i));
                        if (!insert.exec()) {
                            error = "burst insert: " + insert.lastError().text();
                            break;
                        }
                        commits[size_t(i)] = Clock::now();
                        sent = i + 1;
                    }
                }
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
            finished = true;
        });
    }
};

void MeasureBurst(const Window& w, const TestDatabase& t, const Filled& filled, double seconds)
{
    const int perSecond = 50;
    const int count = std::max(1, int(std::lround(seconds * perSecond)));
    Heading(qPrintable(QString("4. A burst of %1 calls per second for %2 s from another connection, Incoming tab shown")
                           .arg(perSecond)
                           .arg(seconds, 0, 'f', 1)));
    QSqlRelationalTableModel* model = w.desk->incomingModel();
    const int dest = DestColumn(model);

    QSignalSpy notifications(w.desk->database().driver(),
                             qOverload<const QString&, QSqlDriver::NotificationSource, const QVariant&>(
                                 &QSqlDriver::notification));

    // Each re-select: when it began and ended, and the newest burst call it holds.
    struct Reselect
    {
        Clock::time_point began, ended;
        int highest;
    };
    std::vector<Reselect> reselects;
    Clock::time_point began{};
    auto c1 = QObject::connect(model, &QAbstractItemModel::modelAboutToBeReset, model, [&] { began = Clock::now(); });
    auto c2 = QObject::connect(model, &QAbstractItemModel::modelReset, model, [&] {
        reselects.push_back({began, Clock::now(), HighestMarker(model, dest, 'B')});
    });

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
    const auto start = Clock::now();
    lastTick = start;
    pulse.start();
    producer.start(t, filled, count, perSecond);

    // Until the producer is done and the model holds its last call, or the time is up.
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!producer.finished)
            return;
        if (!producer.error.isEmpty() || (!reselects.empty() && reselects.back().highest >= producer.sent - 1))
            loop.quit();
    });
    poll.start();
    const bool caughtUp = Run(loop, int(seconds * 1000) + 60000);
    const double elapsedMs = MsSince(start);
    pulse.stop();
    poll.stop();
    producer.thread.join();
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    if (!producer.error.isEmpty())
        Fail(producer.error);

    const int sent = producer.sent;
    int incomingEvents = 0;
    for (const QList<QVariant>& signal : notifications)
        incomingEvents += signal.at(0).toString() == "incominglog_insert";

    // Each call's lag: from its commit to the end of the first re-select that holds it.
    std::vector<double> lags;
    size_t r = 0;
    for (int i = 0; i < sent; ++i) {
        while (r < reselects.size() && reselects[r].highest < i)
            ++r;
        if (r == reselects.size())
            break;
        lags.push_back(Ms(reselects[r].ended - producer.commits[size_t(i)]));
    }
    std::vector<double> reselectMs;
    double busyMs = 0;
    for (const Reselect& reselect : reselects) {
        reselectMs.push_back(Ms(reselect.ended - reselect.began));
        busyMs += reselectMs.back();
    }
    const double sendMs = sent > 0 ? Ms(producer.commits[size_t(sent - 1)] - start) : 0;

    Figure("calls committed", sendMs, QString("(%1 calls, %2 per second achieved)")
                                          .arg(sent)
                                          .arg(sendMs > 0 ? sent * 1000.0 / sendMs : 0.0, 0, 'f', 1));
    if (caughtUp && !lags.empty() && lags.size() == size_t(sent))
        Figure("last call's commit until the model holds it", lags.back());
    else
        Note(QString("the model did not catch up with the last call within %1 ms").arg(elapsedMs, 0, 'f', 0));
    const Spread lag = SpreadOf(lags);
    Note("lag of every call (commit until its row is in the model): " + Describe(lag));
    Note(QString("events received: %1 incominglog_insert for %2 calls; re-selects of the whole table: %3")
             .arg(incomingEvents)
             .arg(sent)
             .arg(reselects.size()));
    Note("one re-select (query + first screen + view reset): " + Describe(SpreadOf(reselectMs)));
    Note(QString("GUI thread inside re-selects: %1 ms of %2 ms (%3%)")
             .arg(busyMs, 0, 'f', 0)
             .arg(elapsedMs, 0, 'f', 0)
             .arg(elapsedMs > 0 ? 100.0 * busyMs / elapsedMs : 0.0, 0, 'f', 1));
    Note("10 ms timer lateness in the GUI thread: " + Describe(SpreadOf(lateness)));
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
    g_previousHandler = qInstallMessageHandler(QuietDebug);
    QApplication app(argc, argv);

    double scale = 1.0;
    if (argc > 1) {
        bool ok = false;
        scale = QString::fromLocal8Bit(argv[1]).toDouble(&ok);
        if (!ok || scale <= 0 || scale > 10) {
            std::fprintf(stderr, "usage: %s [scale]   (scale in (0, 10], default 1: 10,000 subscribers, "
                                 "100,000 calls, 20 single calls, a 10 s burst)\n",
                         argv[0]);
            return 2;
        }
    }
    const int users = std::max(10, int(std::lround(10000 * scale)));
    const int calls = std::max(100, int(std::lround(100000 * scale)));
    const int samples = std::max(5, int(std::lround(20 * scale)));
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
        if (!tabs || tabs->count() != 3)
            Fail("the window has no tabWidget with three tabs");
        const Window w{desk.get(), tabs};

        ShowAndSwitchTabs(w);
        WarmUpEvents(t.db(), other);
        FetchModels(w);
        MeasureLatency(w, filled, other, samples);
        MeasureBurst(w, t, filled, burstSeconds);
        desk.reset(); // before the database goes
    } catch (const std::exception& e) {
        std::fprintf(stderr, "selvdesk_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
