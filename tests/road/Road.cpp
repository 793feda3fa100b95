#include "tests/road/Road.h"

#include "common/Firebird.h"
#include "common/Schema.h"

#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <cstdio>
#include <stdexcept>

namespace road {

namespace {

// Output is read back while the child still writes it: a last line without its newline is not a line yet.
QStringList SplitComplete(const QByteArray& data)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype end = data.indexOf('\n'); end >= 0; end = data.indexOf('\n', start)) {
        lines << QString::fromUtf8(data.mid(start, end - start));
        start = end + 1;
    }
    return lines;
}

QString Program(const char* name)
{
    return QStringLiteral(SELVANE_BIN_DIR "/") + QLatin1String(name);
}

bool Run(testsupport::ChildProcess& process, const QString& program, const QStringList& arguments,
         const QString& workDir, const QMap<QString, QString>& environment)
{
    process.SetWorkingDirectory(workDir.toStdString());
    for (auto it = environment.begin(); it != environment.end(); ++it)
        process.SetEnvironment(it.key().toStdString(), it.value().toStdString());
    std::vector<std::string> argv{program.toStdString()};
    for (const QString& argument : arguments)
        argv.push_back(argument.toStdString());
    return process.Run(argv);
}

} // namespace

QStringList ReadLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return SplitComplete(file.readAll());
}

int WaitForLine(const QString& path, const QRegularExpression& pattern, int timeoutMs, int from,
                QRegularExpressionMatch* match)
{
    int found = -1;
    testsupport::WaitFor(
        [&] {
            const QStringList lines = ReadLines(path);
            for (int i = from; i < lines.size() && found < 0; ++i)
                if (QRegularExpressionMatch m = pattern.match(lines[i]); m.hasMatch()) {
                    if (match)
                        *match = m;
                    found = i;
                }
            return found >= 0;
        },
        std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(50));
    return found;
}

Child::Child(QString name, QString outputPath) : name_(std::move(name)), outputPath_(std::move(outputPath))
{
    process_.SetOutputFile(outputPath_.toStdString());
}

bool Child::Start(const QString& program, const QStringList& arguments, const QString& workDir,
                  const QMap<QString, QString>& environment)
{
    return Run(process_, program, arguments, workDir.isEmpty() ? QFileInfo(outputPath_).path() : workDir,
               environment);
}

QStringList Child::Lines() const
{
    return ReadLines(outputPath_);
}

int Child::WaitFor(const QRegularExpression& pattern, int timeoutMs, int from, QRegularExpressionMatch* match) const
{
    return WaitForLine(outputPath_, pattern, timeoutMs, from, match);
}

int Child::Count(const QRegularExpression& pattern) const
{
    int n = 0;
    for (const QString& line : Lines())
        n += pattern.match(line).hasMatch() ? 1 : 0;
    return n;
}

Road::Road() : dir_(QDir::tempPath() + QStringLiteral("/selvane-road-XXXXXX"))
{
    if (!dir_.isValid())
        throw std::runtime_error("no temporary folder for the road");
    // To read the logs of a failed run afterwards.
    if (qEnvironmentVariableIsSet("SELVANE_ROAD_KEEP")) {
        dir_.setAutoRemove(false);
        std::fprintf(stderr, "road folder: %s\n", qPrintable(dir_.path()));
    }
    fb_ = std::make_unique<PrivateFbServer>();
    const FbServerEnv& env = fb_->env();
    // The service reaches its database by the server's alias; it is created here, with its schema.
    const std::string location =
        QStringLiteral("127.0.0.1/%1:NORVEL_CALLBACK").arg(env.port).toStdString();
    std::string error;
    if (!firebird::CreateDatabase(
            Schema::CreateDatabaseStatement(location, env.user.toStdString(), env.password.toStdString()),
            error))
        throw std::runtime_error("cannot create the road's database: " + error);
    QSqlDatabase db = Connection();
    TestDatabase::buildSchema(db);
    AddSubscriber({kAlice, QStringLiteral("1234"), 3, QStringLiteral("Alice")});
    AddSubscriber({kBob, QStringLiteral("4321"), 3, QStringLiteral("Bob")});
    QSqlQuery blacklist(db);
    if (!blacklist.exec(QStringLiteral("INSERT INTO BLACKLIST (COS, NUMBER) VALUES (3, '9?8800[0-9]*')")))
        throw std::runtime_error("cannot fill the blacklist: " + blacklist.lastError().text().toStdString());
}

Road::~Road()
{
    for (auto& phone : phones_)
        phone->Stop(10000);
    if (service_ || managed_)
        StopService();
    if (exchange_)
        exchange_->Stop(10000);
    if (!connectionName_.isEmpty()) {
        QSqlDatabase::database(connectionName_, false).close();
        QSqlDatabase::removeDatabase(connectionName_);
    }
}

QSqlDatabase Road::Connection()
{
    if (connectionName_.isEmpty()) {
        connectionName_ = QStringLiteral("road-%1").arg(quintptr(this));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QIBASE"), connectionName_);
        const FbServerEnv& env = fb_->env();
        db.setHostName(env.host);
        db.setPort(env.port);
        db.setDatabaseName(QStringLiteral("NORVEL_CALLBACK"));
        db.setUserName(env.user);
        db.setPassword(env.password);
    }
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    if (!db.isOpen() && !db.open())
        throw std::runtime_error("cannot open the road's database: " + db.lastError().text().toStdString());
    return db;
}

bool Road::AddSubscriber(const Subscriber& s)
{
    QSqlQuery q(Connection());
    q.prepare(QStringLiteral("INSERT INTO USERS (CALLERID, PIN, COS, NAME, IS_ACTIVE) "
                             "VALUES (:cid, :pin, :cos, :name, 1)"));
    q.bindValue(QStringLiteral(":cid"), s.callerId);
    q.bindValue(QStringLiteral(":pin"), s.pin);
    q.bindValue(QStringLiteral(":cos"), s.cos);
    q.bindValue(QStringLiteral(":name"), s.name);
    return q.exec();
}

QStringList Road::Column(const QString& select)
{
    QStringList values;
    try {
        QSqlDatabase db = Connection();
        db.commit(); // see what the service committed since the last look
        QSqlQuery q(db);
        if (!q.exec(select))
            return values;
        while (q.next())
            values << q.value(0).toString();
    } catch (const std::exception&) {
    }
    return values;
}

std::vector<IncomingRow> Road::IncomingLog()
{
    std::vector<IncomingRow> rows;
    QSqlDatabase db;
    try {
        db = Connection();
    } catch (const std::exception&) {
        return rows;
    }
    // A fresh transaction each time: rows the service committed since must be seen.
    db.commit();
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT CALLERID, RESULT, UID FROM INCOMINGLOG ORDER BY ID"))) {
        db.close(); // the server may have gone and come back: reconnect next time
        return rows;
    }
    while (q.next())
        rows.push_back({q.value(0).toString(), q.value(1).toInt(), q.value(2).isNull() ? -1 : q.value(2).toInt()});
    return rows;
}

std::vector<IncomingRow> Road::WaitForIncoming(size_t n, int timeoutMs)
{
    std::vector<IncomingRow> rows;
    testsupport::WaitFor([&] { return (rows = IncomingLog()).size() >= n; }, std::chrono::milliseconds(timeoutMs),
                         std::chrono::milliseconds(200));
    return rows;
}

bool Road::WriteExchangeConfig(const QString& settings)
{
    QFile file(dir_.filePath(QStringLiteral("pbx-exchange.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QString text = QStringLiteral(
        "[exchange]\nsip = 127.0.0.1:%1\ncontrol = 127.0.0.1:%2\nusername = selvane\npassword = selvane\n"
        "rtp_ports = 30000-60000\n%3"
        "[extensions]\n"
        "201 = line 201 3\n202 = line 202 3\n101 = phone 101 0\n102 = phone 102 3\n"
        "1234567 = phone 1234567 0\n84951234567 = phone 84951234567 0\n7654321 = phone 7654321 0\n"
        "88001234567 = phone 88001234567 0\n");
    file.write(text.arg(sipPort_).arg(controlPort_).arg(settings).toUtf8());
    return true;
}

bool Road::StartExchange(const QString& settings)
{
    if (!WriteExchangeConfig(settings))
        return false;
    // A restarted exchange writes a file of its own: the waits below must not read the last one's lines.
    const QString output = exchangeStarts_++ == 0 ? QStringLiteral("exchange.out")
                                                  : QStringLiteral("exchange-%1.out").arg(exchangeStarts_);
    exchange_ = std::make_unique<Child>(QStringLiteral("pbx-exchange"), dir_.filePath(output));
    if (!exchange_->Start(Program("pbx-exchange"),
                          {QStringLiteral("--config"), dir_.filePath(QStringLiteral("pbx-exchange.ini")),
                           QStringLiteral("--log-level"), QStringLiteral("7")}))
        return false;
    QRegularExpressionMatch m;
    if (exchange_->WaitFor(QRegularExpression(QStringLiteral("^pbx-exchange sip [0-9.]+:(\\d+) control (\\d+)")),
                           20000, 0, &m) < 0)
        return false;
    sipPort_ = m.captured(1).toInt();
    controlPort_ = m.captured(2).toInt();
    return true;
}

bool Road::StartKamailio()
{
    std::vector<testsupport::SipSubscriber> extensions;
    for (const char* number : {kLine1, kLine2, "101", kDesk, kAlice, kBob, kCarol, "88001234567"})
        extensions.push_back({number, number});
    kamailio_ = std::make_unique<testsupport::KamailioPeer>(extensions);
    if (!kamailio_->Start()) {
        std::fprintf(stderr, "kamailio did not start: %s\n", kamailio_->Log().c_str());
        return false;
    }
    QFile plan(dir_.filePath(QStringLiteral("dialplan.ini")));
    if (!plan.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    plan.write(QStringLiteral("[lines]\n%1 = 3\n%2 = 3\n").arg(QLatin1String(kLine1), QLatin1String(kLine2)).toUtf8());
    return true;
}

int Road::Registrations(const QString& number) const
{
    if (kamailio_)
        return kamailio_->Registrations(number.toStdString());
    return exchange_ ? exchange_->Count(QRegularExpression(QStringLiteral("registered %1 at").arg(number))) : 0;
}

bool Road::WaitRegistered(const QString& number, int before)
{
    if (kamailio_)
        return kamailio_->WaitRegistered(number.toStdString(), before + 1, std::chrono::seconds(20));
    return testsupport::WaitFor([&] { return Registrations(number) > before; }, std::chrono::seconds(20),
                                std::chrono::milliseconds(50));
}

bool Road::RestartExchange()
{
    if (!exchange_ || !exchange_->Stop(10000))
        return false;
    // The configuration written names the ports the first start reported.
    return StartExchange();
}

bool Road::WriteSettings(const QMap<QString, QString>& overrides)
{
    serviceSipPort_ = testsupport::FreeUdpPort();
    QMap<QString, QString> values{
        {QStringLiteral("Database/DriverName"), QStringLiteral("QIBASE")},
        {QStringLiteral("Database/HostName"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("Database/DatabasePort"), QString::number(fb_->env().port)},
        {QStringLiteral("Database/UserName"), fb_->env().user},
        {QStringLiteral("Database/Password"), fb_->env().password},
        {QStringLiteral("Norvel/Server"),
         controlServer_.isEmpty() ? QStringLiteral("127.0.0.1:%1").arg(controlPort_) : controlServer_},
        {QStringLiteral("Norvel/Username"), QStringLiteral("selvane")},
        {QStringLiteral("Norvel/Password"), QStringLiteral("selvane")},
        {QStringLiteral("SIP/LocalAddress"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("SIP/ListenAddress"), QStringLiteral("127.0.0.1:%1").arg(serviceSipPort_)},
        {QStringLiteral("CallBack/MaxNumbersInQueue"), QStringLiteral("10")},
        {QStringLiteral("CallBack/MaxCallBackTries"), QStringLiteral("3")},
        {QStringLiteral("CallBack/EnterPinTimer"), QStringLiteral("10")},
        {QStringLiteral("CallBack/EnterPinMaxTries"), QStringLiteral("3")},
        {QStringLiteral("CallBack/EnterNumberTimer"), QStringLiteral("15")},
        {QStringLiteral("Other/LoggingLevel"), QStringLiteral("7")},
    };
    if (kamailio_) {
        values[QStringLiteral("Norvel/Component")] = QStringLiteral("sip");
        values[QStringLiteral("Norvel/DialPlan")] = dir_.filePath(QStringLiteral("dialplan.ini"));
    }
    for (auto it = overrides.begin(); it != overrides.end(); ++it)
        values[it.key()] = it.value();

    QDir(dir_.path()).mkpath(QStringLiteral("xdg/Brint"));
    QFile file(dir_.filePath(QStringLiteral("xdg/Brint/Selvane.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QString group, text;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QString g = it.key().section(QLatin1Char('/'), 0, 0), key = it.key().section(QLatin1Char('/'), 1);
        if (g != group) {
            text += QStringLiteral("\n[%1]\n").arg(g);
            group = g;
        }
        text += QStringLiteral("%1=%2\n").arg(key, it.value());
        if (g == QLatin1String("SIP") && key == QLatin1String("ListenAddress")) {
            text += QStringLiteral("sip_registrations\\size=%1\n").arg(serviceLines_);
            int i = 1;
            for (const char* line : {kLine1, kLine2}) {
                if (i > serviceLines_)
                    break;
                text += QStringLiteral("sip_registrations\\%1\\login=%2\nsip_registrations\\%1\\password=%2\n"
                                       "sip_registrations\\%1\\server=%3\n")
                            .arg(i++)
                            .arg(QLatin1String(line), ExchangeSip());
            }
        }
    }
    file.write(text.toUtf8());
    return true;
}

bool Road::PrepareService(const QMap<QString, QString>& overrides)
{
    if (!WriteSettings(overrides))
        return false;
    linesRegistered_[0] = Registrations(QLatin1String(kLine1));
    linesRegistered_[1] = Registrations(QLatin1String(kLine2));
    // A copy of its own, since the service writes log.txt beside the program, with the announcements.
    QDir(dir_.path()).mkpath(QStringLiteral("bin"));
    const QString program = dir_.filePath(QStringLiteral("bin/Selvane"));
    if (!QFile::exists(program) && !QFile::copy(Program("Selvane"), program))
        return false;
    QFile::link(QStringLiteral(SELVANE_BIN_DIR "/ogm"), dir_.filePath(QStringLiteral("bin/ogm")));
    return QDir(dir_.path()).mkpath(QStringLiteral("units"));
}

QMap<QString, QString> Road::ServiceEnvironment() const
{
    // The service manager's registry, sockets and units stay in the road's folder.
    return {{QStringLiteral("XDG_CONFIG_DIRS"), dir_.filePath(QStringLiteral("xdg"))},
            {QStringLiteral("SELVANE_SERVICE_REGISTRY"), dir_.filePath(QStringLiteral("registry/services.ini"))},
            {QStringLiteral("SELVANE_RUNTIME_DIR"), dir_.filePath(QStringLiteral("run"))},
            {QStringLiteral("SELVANE_SYSTEMD_UNIT_DIR"), dir_.filePath(QStringLiteral("units"))},
            {QStringLiteral("SELVANE_SYSLOG_SOCKET"), SystemLogSocket()}};
}

bool Road::WaitServiceUp(int logged, int registered)
{
    if (WaitInServiceLog(QStringLiteral("Service started"), 30000, logged) < 0)
        return false;
    if (kamailio_) {
        for (int i = 0; i < serviceLines_ && i < 2; ++i)
            if (!WaitRegistered(QLatin1String(i == 0 ? kLine1 : kLine2), linesRegistered_[i]))
                return false;
        return true;
    }
    if (!exchange_)
        return true;
    int n = 0;
    for (const char* line : {kLine1, kLine2})
        if (++n <= serviceLines_ && exchange_->WaitFor(QRegularExpression(QStringLiteral("registered %1 at").arg(QLatin1String(line))), 20000,
                               registered) < 0)
            return false;
    return true;
}

bool Road::StartService(const QMap<QString, QString>& overrides)
{
    if (!PrepareService(overrides))
        return false;
    const int registered = exchange_ ? exchange_->Lines().size() : 0;
    const int logged = ReadLines(ServiceLog()).size();
    service_ = std::make_unique<Child>(QStringLiteral("Selvane"), dir_.filePath(QStringLiteral("selvane.out")));
    if (!service_->Start(dir_.filePath(QStringLiteral("bin/Selvane")), {QStringLiteral("-e")}, dir_.path(),
                         ServiceEnvironment()))
        return false;
    return WaitServiceUp(logged, registered);
}

bool Road::StartManagedService(const QMap<QString, QString>& overrides)
{
    if (!PrepareService(overrides))
        return false;
    const int registered = exchange_ ? exchange_->Lines().size() : 0;
    const int logged = ReadLines(ServiceLog()).size();
    managed_ = true;
    return Control(QStringLiteral("-i")) && Control(QString()) && WaitServiceUp(logged, registered);
}

bool Road::Control(const QString& option)
{
    testsupport::ChildProcess p;
    const int code = Run(p, dir_.filePath(QStringLiteral("bin/Selvane")),
                         option.isEmpty() ? QStringList() : QStringList{option}, dir_.path(), ServiceEnvironment())
                         ? p.Wait(std::chrono::seconds(60))
                         : testsupport::ChildProcess::kTimedOut;
    if (code != 0)
        std::fprintf(stderr, "Selvane %s: exit %d: %s\n", qPrintable(option), code, p.Output().c_str());
    return code == 0;
}

bool Road::StopService()
{
    if (managed_) {
        const int logged = ReadLines(ServiceLog()).size();
        managed_ = false;
        return Control(QStringLiteral("-t")) &&
               WaitInServiceLog(QStringLiteral("NorvelService::~NorvelService telephony stopped"), 30000, logged) >= 0;
    }
    return service_ && service_->Stop(30000);
}

bool Road::KillService()
{
    return service_ && service_->Kill();
}

std::vector<QVariantList> Road::Rows(const QString& select)
{
    std::vector<QVariantList> rows;
    QSqlDatabase db;
    try {
        db = Connection();
    } catch (const std::exception&) {
        return rows;
    }
    db.commit(); // a fresh transaction: what the service committed since is seen
    QSqlQuery q(db);
    if (!q.exec(select)) {
        db.close();
        return rows;
    }
    while (q.next()) {
        QVariantList row;
        for (int i = 0; i < q.record().count(); ++i)
            row << q.value(i);
        rows.push_back(row);
    }
    return rows;
}

int Road::WaitInServiceLog(const QString& text, int timeoutMs, int from) const
{
    return WaitForLine(ServiceLog(), QRegularExpression(QRegularExpression::escape(text)), timeoutMs, from);
}

int Road::CountInServiceLog(const QString& text) const
{
    int n = 0;
    for (const QString& line : ReadLines(ServiceLog()))
        n += line.contains(text) ? 1 : 0;
    return n;
}

Child* Road::Phone(const QString& number, const QStringList& extra)
{
    const int before = Registrations(number);
    auto phone = std::make_unique<Child>(QStringLiteral("phone %1").arg(number),
                                         dir_.filePath(QStringLiteral("phone-%1-%2.out").arg(number).arg(phones_.size())));
    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(testsupport::FreeUdpPort()), QStringLiteral("--register"),
                     QStringLiteral("%1:%1@%2").arg(number, ExchangeSip()), QStringLiteral("--media")};
    args << extra;
    if (!phone->Start(Program("voipcall"), args))
        return nullptr;
    if (!WaitRegistered(number, before))
        return nullptr;
    phones_.push_back(std::move(phone));
    return phones_.back().get();
}

Child* Road::Caller(const QString& number, const QString& dialled, const QStringList& extra)
{
    QStringList args{QStringLiteral("--call"), QStringLiteral("sip:%1@%2").arg(dialled, ExchangeSip()),
                     QStringLiteral("--stay")};
    return Phone(number, args + extra);
}

} // namespace road
