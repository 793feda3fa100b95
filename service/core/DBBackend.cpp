#include "service/core/DBBackend.h"

#include "common/Firebird.h"
#include "common/Logging.h"
#include "common/Schema.h"
#include "service/core/CBSrvSettings.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <ibase.h>

#include <chrono>
#include <utility>

namespace {
const char* const kSelectActive = "SELECT ID FROM USERS where IS_ACTIVE=1 and CALLERID=:caller_id";
const char* const kSelectPin = "SELECT ID FROM USERS where IS_ACTIVE=1 and CALLERID=:caller_id and PIN=:pin_code";
const char* const kSelectBlacklist = "SELECT NUMBER FROM BLACKLIST";
const char* const kInsertIncoming =
    "INSERT INTO INCOMINGLOG (ID, CALL_BEGIN, CALLERID, UID, RESULT, DEST) VALUES (gen_id(NEW_INCOMING_ID,1), "
    "current_timestamp, :caller_id, :uid, :result, :dest) RETURNING id";
// Width of the CALLERID and DEST columns of INCOMINGLOG.
constexpr int kNumberColumnWidth = 20;

QString ToQString(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string ToStdString(const QString& s) { return s.toStdString(); }

// Asks the server about the attachment itself: Qt's driver keeps reporting a connection as open after
// the server went away, so a failed statement alone cannot tell a lost connection from a bad query.
bool attachmentAlive(const QSqlDatabase& db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (db.driverName() != QLatin1String("QIBASE") || handle.metaType() != QMetaType::fromType<isc_db_handle>())
        return db.isOpen();
    isc_db_handle attachment = *static_cast<const isc_db_handle*>(handle.constData());
    ISC_STATUS_ARRAY status = {};
    const char items[] = {isc_info_attachment_id};
    char answer[32];
    return attachment && isc_database_info(status, &attachment, sizeof items, items, sizeof answer, answer) == 0;
}

// Where a connection would attach, read while the access lock is held.
struct Target
{
    QString driver, host, database, user, password;
    int port = -1;
};

Target TargetOf(const QSqlDatabase& db)
{
    return {db.driverName(), db.hostName(), db.databaseName(), db.userName(), db.password(), db.port()};
}

// Qt's driver passes no connect timeout to the client library, whose default wait for a host that drops
// packets is minutes. So the server is first asked by an attachment of our own with a short timeout. Returns
// false, with the client library's text, when it did not answer in time (the driver's attempt would only wait
// as long again); true when it answered, even with an error, which the driver's own attempt then reports.
bool ServerAnswersInTime(const Target& target, std::string& error)
{
    if (target.driver != QLatin1String("QIBASE") || target.host.isEmpty())
        return true; // no network between us and the database
    const std::string location =
        Schema::DatabaseLocation(ToStdString(target.host), target.port, ToStdString(target.database));
    firebird::ParameterBlock dpb;
    dpb.Add(isc_dpb_user_name, ToStdString(target.user))
        .Add(isc_dpb_password, ToStdString(target.password))
        .AddInt(isc_dpb_connect_timeout, DBBackend::kConnectTimeoutSeconds);

    ISC_STATUS_ARRAY status = {};
    isc_db_handle attachment = 0;
    const auto started = std::chrono::steady_clock::now();
    if (isc_attach_database(status, 0, location.c_str(), &attachment, dpb.Size(), dpb.Data()) == 0) {
        isc_detach_database(status, &attachment);
        return true;
    }
    const bool timedOut =
        std::chrono::steady_clock::now() - started >=
        std::chrono::seconds(DBBackend::kConnectTimeoutSeconds) - std::chrono::milliseconds(100);
    if (status[1] != isc_connect_reject && !timedOut)
        return true;
    error = firebird::StatusText(status);
    return false;
}
} // namespace

DBBackend::DBBackend(const QString& name) : databaseName(name) {}

DBBackend::~DBBackend()
{
    const QString name = connection.connectionName();
    connection.close();
    connection = QSqlDatabase();
    if (!name.isEmpty())
        QSqlDatabase::removeDatabase(name);
}

void DBBackend::SetSettings(CBSrvSettings* value) { settings = value; }

void DBBackend::OpenDatabase()
{
    std::lock_guard<std::mutex> guard(lock);
    if (!settings)
        return;
    // On resume the connection exists already; adding it again would cut off its owner.
    if (!connection.isValid() || connection.driverName() != settings->DriverName) {
        connection = QSqlDatabase();
        connection = QSqlDatabase::addDatabase(settings->DriverName);
    }
    connection.setHostName(settings->HostName);
    connection.setPort(settings->DatabasePort);
    connection.setDatabaseName(databaseName);
    connection.setUserName(settings->UserName);
    connection.setPassword(settings->Password);
    std::string unanswered;
    if (!ServerAnswersInTime(TargetOf(connection), unanswered)) {
        // Neither opening nor creating is tried: both would wait as long again for nothing.
        Log(Error, "The database server did not answer within ", DBBackend::kConnectTimeoutSeconds, " s: ",
            unanswered);
        return;
    }
    if (!connection.open()) {
        Log(Warning, "Can't open database, trying to create ", ToStdString(connection.lastError().text()));
        if (!createDatabase()) {
            Log(Error, "Can't create database", ToStdString(connection.lastError().text()));
            return;
        }
        if (!connection.open()) {
            Log(Error, "Can't open database after successfull creation ",
                ToStdString(connection.lastError().text()));
            return;
        }
    }
    Log(Informational, "Connected to database ");
}

bool DBBackend::createDatabase()
{
    const std::string location = Schema::DatabaseLocation(ToStdString(settings->HostName), settings->DatabasePort,
                                                          ToStdString(databaseName));
    // The pieces are joined into one statement; Schema doubles any quote so none can end its literal.
    const std::string statement = Schema::CreateDatabaseStatement(location, ToStdString(settings->UserName),
                                                                  ToStdString(settings->Password));
    std::string error;
    if (firebird::CreateDatabase(statement, error))
        return true;
    // The client library's status report, which would otherwise go to a console nobody reads.
    Log(Warning, "Firebird: ", error);
    return false;
}

void DBBackend::CloseDatabase()
{
    std::lock_guard<std::mutex> guard(lock);
    connection.close();
}

void DBBackend::notOpened(Guard& guard)
{
    Log(Warning, "Databse is not opened");
    // One reconnection attempt; this call reports "not open" whatever it gives.
    if (reconnecting.exchange(true))
        return; // another caller is at it
    const Target target = TargetOf(connection);
    guard.unlock();
    std::string unanswered;
    const bool answers = ServerAnswersInTime(target, unanswered);
    guard.lock();
    if (answers && !connection.isOpen())
        connection.open();
    reconnecting = false;
}

bool DBBackend::ready(Guard& guard)
{
    if (connection.isOpen())
        return true;
    notOpened(guard);
    return false;
}

bool DBBackend::lostConnection(Guard& guard)
{
    if (attachmentAlive(connection))
        return false;
    connection.close();
    notOpened(guard);
    return true;
}

int DBBackend::firstActiveId(Guard& guard, const std::string& callerId, const std::string* pin)
{
    if (!ready(guard))
        return -1;
    QSqlQuery query(connection);
    const bool prepared = query.prepare(QString::fromLatin1(pin ? kSelectPin : kSelectActive));
    if (prepared) {
        query.bindValue(QStringLiteral(":caller_id"), ToQString(callerId));
        if (pin)
            query.bindValue(QStringLiteral(":pin_code"), ToQString(*pin));
    }
    if (!prepared || !query.exec()) {
        query.clear();
        lostConnection(guard);
        return -1;
    }
    return query.next() ? query.value(0).toInt() : -1;
}

bool DBBackend::CheckCallerId(const std::string& callerId)
{
    Guard guard(lock);
    const int id = firstActiveId(guard, callerId, nullptr);
    // The caller's id is asked for next in the same operation: one statement answers both.
    lastCallerLookup = {callerId, id, std::this_thread::get_id()};
    return id != -1;
}

bool DBBackend::CheckPin(const std::string& callerId, const std::string& pin)
{
    Guard guard(lock);
    return firstActiveId(guard, callerId, &pin) != -1;
}

int DBBackend::GetTransferCOS(const std::string&) { return 1; }

int DBBackend::GetUID(const std::string& callerId)
{
    Guard guard(lock);
    const CallerLookup last = std::exchange(lastCallerLookup, CallerLookup());
    if (last.thread == std::this_thread::get_id() && last.callerId == callerId && last.id != -1)
        return last.id;
    return firstActiveId(guard, callerId, nullptr);
}

bool DBBackend::checkDialedNumber(const std::string& callerId, const std::string& number)
{
    Guard guard(lock);
    Log(Debug, "checkDialedNumber by callerid=", callerId, ", number=", number);
    // The blacklist stops toll fraud: a number that could not be checked is refused, never let through.
    if (!ready(guard)) {
        Log(Warning, "checkDialedNumber: the blacklist cannot be read, refusing number=", number);
        return false;
    }
    QSqlQuery query(connection);
    query.setForwardOnly(true);
    if (!query.exec(QString::fromLatin1(kSelectBlacklist))) {
        const QString error = query.lastError().text();
        query.clear();
        Log(Warning, "Can't execute query.", ToStdString(error));
        lostConnection(guard);
        return false;
    }
    const QString dialed = ToQString(number);
    // Compiling a pattern costs far more than matching it, and the blacklist rarely changes: keep the
    // compiled patterns of the last call, dropping those no longer in the table.
    QHash<QString, QRegularExpression> seen;
    bool allowed = true;
    while (allowed && query.next()) {
        const QString source = query.value(0).toString();
        auto cached = compiledPatterns.constFind(source);
        const QRegularExpression& pattern = seen.insert(
            source, cached != compiledPatterns.constEnd()
                        ? *cached
                        : QRegularExpression(QRegularExpression::anchoredPattern(source))).value();
        // A whole-string, case-sensitive match; an invalid pattern matches nothing.
        if (pattern.isValid() && pattern.match(dialed).hasMatch())
            allowed = false;
    }
    if (allowed && query.lastError().isValid()) {
        // The rows stopped coming: the rest of the table may hold the pattern that refuses this number.
        Log(Warning, "Can't execute query.", ToStdString(query.lastError().text()));
        return false;
    }
    if (allowed)
        compiledPatterns.swap(seen);
    else
        compiledPatterns.insert(seen);
    return allowed;
}

void DBBackend::SaveIncomingCall(const std::string& callerId, int uid, int result, const std::string& dest,
                                 int& id)
{
    Guard guard(lock);
    id = -1;
    if (!ready(guard))
        return;
    QSqlQuery query(connection);
    const bool prepared = query.prepare(QString::fromLatin1(kInsertIncoming));
    if (prepared) {
        // A longer number from the network would fail the insert and lose the call's row; keep what fits.
        query.bindValue(QStringLiteral(":caller_id"), ToQString(callerId).left(kNumberColumnWidth));
        query.bindValue(QStringLiteral(":uid"), uid >= 0 ? QVariant(uid) : QVariant(QMetaType::fromType<int>()));
        query.bindValue(QStringLiteral(":result"), result);
        query.bindValue(QStringLiteral(":dest"), ToQString(dest).left(kNumberColumnWidth));
    }
    if (!prepared || !query.exec()) {
        query.clear();
        lostConnection(guard);
        return;
    }
    if (query.next())
        id = query.value(0).toInt();
}
