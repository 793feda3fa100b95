// The README's pictures of the console: the login, the settings, the administrator's repair message on
// an empty database, the three tabs over a morning's sample data and the accounts dialog.
//
//   selvdesk_screenshots OUTPUT_FOLDER
//
// Needs a real X server (the offscreen platform draws text differently) and the private Firebird
// server's variables; tests/screenshots.sh provides both and retakes every picture into docs/.
// Style, font, palette, locale and window sizes are fixed, so a retake only changes what changed.
#include "console/Application.h"
#include "console/DBUsersDialog.h"
#include "console/LoginWindow.h"
#include "console/IncomingLogModel.h"
#include "console/CallbackLogModel.h"
#include "console/Selvdesk.h"
#include "console/SettingsDialog.h"
#include "console/tests/ConsoleTestSupport.h"

#include <QApplication>
#include <iterator>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRelationalTableModel>
#include <QStyle>
#include <QTabWidget>
#include <QTest>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>

using consoletest::ModalDriver;
using consoletest::PressOk;

namespace {

[[noreturn]] void Fail(const QString& what)
{
    throw std::runtime_error(what.toStdString());
}

// A picture over this size makes the README heavy; it means something unexpected is on screen.
constexpr qint64 kMaxBytes = 150 * 1024;

QString g_folder;

// Lets the window be laid out and painted on the X server, then renders it into a PNG.
void Save(QWidget* window, const QString& name)
{
    if (!QTest::qWaitForWindowExposed(window, 5000))
        Fail(name + ": the window was never shown");
    QTest::qWait(200);
    const QString path = g_folder + "/" + name;
    if (!window->grab().save(path, "PNG"))
        Fail("cannot write " + path);
    const qint64 bytes = QFileInfo(path).size();
    std::printf("%s  %dx%d  %lld bytes\n", qPrintable(path), window->width(), window->height(), bytes);
    if (bytes > kMaxBytes)
        Fail(QString("%1 is %2 bytes, over %3").arg(path).arg(bytes).arg(kMaxBytes));
}

void Exec(QSqlQuery& query, const QString& sql)
{
    if (!query.exec(sql))
        Fail(sql + ": " + query.lastError().text());
}

// The connection the login window would open, or the end of the program.
QSqlDatabase Connect(const TestDatabase& database, const QString& user, const QString& password)
{
    QSqlDatabase db = consoletest::ConsoleConnection(database, user, password);
    if (!db.isOpen())
        Fail("cannot connect as " + user + ": " + db.lastError().text());
    return db;
}

// Closes its connection when it goes, so the database it points at can be dropped after it.
class Attachment
{
public:
    explicit Attachment(QSqlDatabase db) : db_(std::move(db)) {}
    ~Attachment()
    {
        const QString name = db_.connectionName();
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    QSqlDatabase& db() { return db_; }

private:
    QSqlDatabase db_;
};

// An operator's account in the role MANAGER of one database; dropped again when the object goes
// (accounts are server-wide and would outlive the database).
class Operator
{
public:
    Operator(QSqlDatabase admin, const QString& name, const QString& first, const QString& last)
        : admin_(admin), name_(name)
    {
        QSqlQuery query(admin_);
        Exec(query, QString("CREATE OR ALTER USER %1 PASSWORD '%2' FIRSTNAME '%3' LASTNAME '%4'")
                        .arg(name_, password(), first, last));
        Exec(query, "GRANT MANAGER TO " + name_);
    }
    ~Operator() { QSqlQuery(admin_).exec("DROP USER " + name_); }
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;

    const QString& name() const { return name_; }
    QString password() const { return "op-" + name_.toLower(); }

private:
    QSqlDatabase admin_;
    QString name_;
};

struct Subscriber
{
    const char* callerId;
    const char* pin;
    int cos;
    const char* name;
    int active;
};

// A small company's extensions; one left the company and is deactivated (not listed).
const Subscriber kSubscribers[] = {
    {"2101", "4821", 3, "Смирнов Алексей", 1},
    {"2104", "1937", 2, "Иванова Марина", 1},
    {"2110", "5502", 2, "Кузнецов Дмитрий", 1},
    {"2115", "8264", 1, "Попова Елена", 1},
    {"2119", "3355", 1, "Павлов Сергей", 0},
    {"2122", "3091", 1, "Соколов Игорь", 1},
    {"2130", "7715", 2, "Лебедева Ольга", 1},
    {"2137", "2648", 1, "Новиков Павел", 1},
    {"2141", "9053", 1, "Морозова Татьяна", 1},
    {"2156", "6380", 3, "Волков Андрей", 1},
    {"2160", "1472", 1, "Фёдорова Наталья", 1},
    {"315", "5120", 1, "Приёмная", 1},
    {"318", "7733", 1, "Склад", 1},
};

struct Call
{
    const char* time; // on the sample morning
    const char* callerId;
    int result; // 1 queued for a callback, 2 queue full, 0 not a subscriber
};

const Call kCalls[] = {
    {"08:52:14", "2101", 1}, {"08:58:40", "2130", 1},        {"09:03:07", "315", 1},  {"09:11:52", "2104", 1},
    {"09:14:26", "2119", 0}, {"09:20:03", "2156", 1},        {"09:27:45", "2110", 1}, {"09:31:10", "2141", 1},
    {"09:31:38", "2137", 1}, {"09:31:59", "2122", 2},        {"09:32:20", "2160", 2}, {"09:40:12", "2122", 1},
    {"09:48:33", "318", 1},  {"09:55:01", "84957201134", 0}, {"10:06:47", "2115", 1}, {"10:14:09", "2101", 1},
    {"10:29:55", "2130", 1}, {"10:41:18", "2160", 1},        {"10:53:02", "2104", 1}, {"11:05:36", "2156", 1},
    {"11:12:44", "315", 1},  {"11:19:21", "2110", 1},        {"11:33:57", "2141", 1}, {"11:40:05", "4455", 0},
    {"11:47:30", "2137", 1},
};

// Outgoing numbers subscribers may not be transferred to.
const char* const kPatterns[] = {"8800.*", "810.*", "8809.*", "1[0-9]{2}", "09.*"};

void FillSampleData(QSqlDatabase db)
{
    QSqlQuery query(db);
    query.prepare("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) VALUES (?, ?, ?, ?, ?)");
    for (const Subscriber& s : kSubscribers) {
        query.addBindValue(QString::fromLatin1(s.callerId));
        query.addBindValue(QString::fromLatin1(s.pin));
        query.addBindValue(s.cos);
        query.addBindValue(QString::fromUtf8(s.name));
        query.addBindValue(s.active);
        if (!query.exec())
            Fail("subscriber: " + query.lastError().text());
    }

    // As the service logs them: unknown callers without a subscriber, the number to call back as DEST.
    QSqlQuery call(db);
    call.prepare(
        "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES "
        "(gen_id(NEW_INCOMING_ID,1), ?, ?, (SELECT ID FROM USERS WHERE IS_ACTIVE=1 AND CALLERID=?), ?, ?)");
    const QDate morning(2024, 3, 12);
    for (const Call& c : kCalls) {
        const QString callerId = QString::fromLatin1(c.callerId);
        call.addBindValue(QDateTime(morning, QTime::fromString(c.time, "HH:mm:ss")));
        call.addBindValue(callerId);
        call.addBindValue(callerId);
        call.addBindValue(c.result);
        call.addBindValue(callerId);
        if (!call.exec())
            Fail("incoming call: " + call.lastError().text());
    }

    // The service's callback attempts for the queued calls of the morning, with their outcomes: a few
    // minutes after each call, a second attempt where the first was not answered or refused.
    struct Outcome
    {
        int reason; // OUTGOINGLOG.END_REASON, see README
        int status; // SIP status, 0 for none
        const char* destination;
        int length;
    };
    const Outcome kOutcomes[] = {{8, 0, "2204", 184}, {1, 0, "", 0},      {8, 0, "84957201134", 95},
                                 {2, 486, "", 0},     {4, 0, "", 21},     {8, 0, "2311", 312},
                                 {6, 0, "88001005050", 17}, {8, 0, "315", 48}, {5, 0, "", 9},
                                 {7, 0, "2188", 40}};
    QSqlQuery queued(db);
    if (!queued.exec("SELECT ID, UID, CALL_BEGIN FROM INCOMINGLOG WHERE RESULT = 1 AND UID IS NOT NULL ORDER BY ID"))
        Fail("queued calls: " + queued.lastError().text());
    QSqlQuery attempt(db);
    attempt.prepare("INSERT INTO OUTGOINGLOG (ID, CID, UID, CALL_BEGIN, CALL_LENGTH, ATTEMPT_NUMBER, ANSWERED, "
                    "PIN_RESULT, END_REASON, SIP_STATUS, LINE, DESTINATION) VALUES "
                    "(gen_id(NEW_OUTGOING_ID,1), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    int n = 0;
    while (queued.next()) {
        const Outcome& o = kOutcomes[n % std::size(kOutcomes)];
        const bool retried = o.reason == 1 || o.reason == 2;
        for (int number = 1; number <= (retried ? 2 : 1); ++number) {
            const Outcome& now = number == 1 ? o : kOutcomes[0];
            const bool answered = now.reason >= 4;
            attempt.addBindValue(queued.value(0));
            attempt.addBindValue(queued.value(1));
            attempt.addBindValue(queued.value(2).toDateTime().addSecs(9 + 60 * (number - 1)));
            attempt.addBindValue(now.length);
            attempt.addBindValue(number);
            attempt.addBindValue(answered ? 1 : 0);
            attempt.addBindValue(now.reason == 4 ? 2 : (answered && now.reason != 5 ? 1 : 0));
            attempt.addBindValue(now.reason);
            attempt.addBindValue(now.status ? QVariant(now.status) : QVariant(QMetaType::fromType<int>()));
            attempt.addBindValue(QString(n % 2 ? "202" : "201"));
            attempt.addBindValue(*now.destination ? QVariant(QString(now.destination)) : QVariant(QMetaType::fromType<QString>()));
            if (!attempt.exec())
                Fail("callback attempt: " + attempt.lastError().text());
        }
        ++n;
    }

    QSqlQuery pattern(db);
    pattern.prepare("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (0, ?)");
    for (const char* p : kPatterns) {
        pattern.addBindValue(QString::fromLatin1(p));
        if (!pattern.exec())
            Fail("pattern: " + pattern.lastError().text());
    }
}

void Login()
{
    LoginWindow login;
    login.resize(420, 170);
    login.show();
    QTest::keyClicks(login.findChild<QLineEdit*>("lineEdit"), "SYSDBA");
    auto* password = login.findChild<QLineEdit*>("lineEdit_2");
    password->setFocus();
    QTest::keyClicks(password, "masterkey");
    Save(&login, "console-login.png");
}

void Settings()
{
    SettingsDialog dialog; // the sandbox holds the sample settings
    dialog.resize(420, 200);
    dialog.show();
    Save(&dialog, "console-settings.png");
}

// The administrator logs in to an empty database: the check lists what is missing, then repairs it.
void Repair(const FbServerEnv& server)
{
    TestDatabase empty(TestDatabase::Empty);
    Attachment admin(Connect(empty, server.user, server.password));
    Selvdesk window;
    window.setDatabase(admin.db());
    ModalDriver driver;
    QString error;
    driver.expect([&error](QWidget* box) {
        try {
            Save(box, "console-repair.png");
        } catch (const std::exception& e) {
            error = e.what();
        }
        PressOk()(box);
    });
    driver.expect(PressOk()); // "Database repaired"
    const bool repaired = window.checkDatabase();
    if (!error.isEmpty())
        Fail(error);
    if (!repaired || driver.seen().size() != 2 || driver.unexpected() != 0)
        Fail("the repair did not go as expected: " + driver.seen().join(" / "));
    if (!driver.seen().at(0).startsWith("Database critical error"))
        Fail("the first box was not the critical error: " + driver.seen().at(0));
}

void MainWindowAndAccounts(const FbServerEnv& server)
{
    TestDatabase database;
    FillSampleData(database.db());
    Attachment admin(Connect(database, server.user, server.password));
    Operator ivanova(admin.db(), "IVANOVA", "Марина", "Иванова");
    Operator sokolov(admin.db(), "SOKOLOV", "Игорь", "Соколов");

    {
        Attachment operatorDb(Connect(database, ivanova.name(), ivanova.password()));
        Selvdesk window; // an operator's view: the status bar names the account
        window.resize(800, 560);
        window.setDatabase(operatorDb.db());
        window.show();
        if (!window.usersModel() || !window.incomingModel() || !window.blacklistModel())
            Fail("the main window set up no views");
        auto* tabs = window.findChild<QTabWidget*>("tabWidget");
        if (!tabs || tabs->count() != 4)
            Fail("the main window has no tabWidget with four tabs");
        const int listed[] = {window.usersModel()->rowCount(), window.incomingModel()->rowCount(),
                              window.callbackModel()->rowCount(), window.blacklistModel()->rowCount()};
        if (listed[0] == 0 || listed[1] == 0 || listed[2] == 0 || listed[3] == 0)
            Fail(QString("an empty tab: %1 subscribers, %2 calls, %3 callbacks, %4 patterns")
                     .arg(listed[0])
                     .arg(listed[1])
                     .arg(listed[2])
                     .arg(listed[3]));
        const char* files[] = {"console-users.png", "console-incoming.png", "console-callbacks.png",
                               "console-blacklist.png"};
        for (int tab = 0; tab < 4; ++tab) {
            tabs->setCurrentIndex(tab);
            Save(&window, files[tab]);
        }
    }

    DBUsersDialog accounts;
    accounts.resize(420, 360);
    accounts.setDatabase(&admin.db());
    accounts.show();
    if (accounts.usersModel()->rowCount() != 3)
        Fail(QString("the accounts dialog lists %1 accounts, not 3").arg(accounts.usersModel()->rowCount()));
    Save(&accounts, "console-accounts.png");
}

// The console traces every step through qDebug; only warnings matter here.
QtMessageHandler g_previousHandler = nullptr;
void QuietDebug(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

int main(int argc, char* argv[])
{
    g_previousHandler = qInstallMessageHandler(QuietDebug);
    console::SetApplicationIdentity();
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER (tests/screenshots.sh runs it)\n", argv[0]);
        return 2;
    }
    if (QGuiApplication::platformName() != "xcb") {
        std::fprintf(stderr,
                     "selvdesk_screenshots: needs an X server, not the '%s' platform "
                     "(tests/screenshots.sh runs it under Xvfb)\n",
                     qPrintable(QGuiApplication::platformName()));
        return 2;
    }
    g_folder = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(g_folder)) {
        std::fprintf(stderr, "selvdesk_screenshots: cannot create %s\n", qPrintable(g_folder));
        return 1;
    }

    // The same look on any machine: no desktop theme, font, locale or blinking cursor leaks in.
    QApplication::setStyle("Fusion");
    QApplication::setPalette(QApplication::style()->standardPalette());
    QApplication::setFont(QFont("DejaVu Sans", 9));
    QApplication::setCursorFlashTime(0);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));

    try {
        const FbServerEnv server = FbServerEnv::fromEnvironment();
        consoletest::SettingsSandbox sandbox; // never the user's own settings
        sandbox.write("pbx-db.local", "3060", "norvel_callback");
        Login();
        Settings();
        Repair(server);
        MainWindowAndAccounts(server);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "selvdesk_screenshots: %s\n", e.what());
        return 1;
    }
    return 0;
}
