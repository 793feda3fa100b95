// The whole callback road on one machine, every part real and on 127.0.0.1: a private Firebird server
// holding the schema and the subscribers, the simulated exchange, the service run as "Selvane -e" from
// a folder of its own, and phones played by voipcall. Ports are picked at run time. Every child's
// output goes to a file in the road's folder, which the waits read back.
#pragma once

#include "tests/support/ChildProcess.h"
#include "tests/support/Kamailio.h"
#include "tests/support/TestDatabase.h"

#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <vector>

namespace road {

// A child process whose output (standard output and error together) is kept in a file; it runs in
// the folder of that file unless told otherwise.
class Child
{
public:
    Child(QString name, QString outputPath);

    // environment: set on top of this process's.
    bool Start(const QString& program, const QStringList& arguments, const QString& workDir = QString(),
               const QMap<QString, QString>& environment = {});
    // SIGTERM, then waits; true when it ended by itself with exit code 0.
    bool Stop(int timeoutMs = 20000) { return process_.Stop(std::chrono::milliseconds(timeoutMs)) == 0; }
    // SIGKILL, as a crash would end it; true once it is gone.
    bool Kill() { return process_.Kill() == testsupport::ChildProcess::kSignalled; }
    bool Running() { return process_.Running(); }
    int ExitCode() const { return process_.ExitCode(); }

    const QString& Name() const { return name_; }
    const QString& OutputPath() const { return outputPath_; }
    QStringList Lines() const;
    // Index of the first line at or after `from` that matches, waiting up to timeoutMs; -1 when none.
    int WaitFor(const QRegularExpression& pattern, int timeoutMs, int from = 0,
                QRegularExpressionMatch* match = nullptr) const;
    int Count(const QRegularExpression& pattern) const;

private:
    QString name_;
    QString outputPath_;
    testsupport::ChildProcess process_;
};

// Waits for a line in a file; the service writes its log to log.txt, not to its output.
int WaitForLine(const QString& path, const QRegularExpression& pattern, int timeoutMs, int from = 0,
                QRegularExpressionMatch* match = nullptr);
QStringList ReadLines(const QString& path);

struct Subscriber
{
    QString callerId;
    QString pin;
    int cos = 3;
    QString name;
};

struct IncomingRow
{
    QString callerId;
    int result = -1;
    int uid = -1;
};

class Road
{
public:
    // The numbers every road knows: the service's lines, two outside phones that are subscribers, one
    // outside phone that is not, and an internal phone.
    static constexpr const char* kLine1 = "201";
    static constexpr const char* kLine2 = "202";
    static constexpr const char* kAlice = "1234567";   // subscriber, PIN 1234
    static constexpr const char* kBob = "84951234567"; // subscriber, PIN 4321
    static constexpr const char* kCarol = "7654321";   // not a subscriber; a city destination (97654321)
    static constexpr const char* kDesk = "102";        // an internal phone, a destination

    // Starts the database server and builds the database: schema, the two subscribers and the
    // blacklist pattern "9?8800[0-9]*". Throws when the server does not come up.
    Road();
    ~Road();

    // Starts pbx-exchange on free ports with the lines above, `settings` ("media_timeout = 5\n") added
    // to its [exchange] group; false when it does not come up.
    bool StartExchange(const QString& settings = QString());
    // Starts a real Kamailio (the repository's example configuration) as the company's exchange instead,
    // with the same numbers as extensions (each password its number); the service then runs with the
    // SIP-only PBX component and a dial plan of the road's (lines 201 and 202 at class 3) and every
    // phone registers there. False when it does not come up.
    bool StartKamailio();
    testsupport::KamailioPeer* Kamailio() { return kamailio_.get(); }
    // Stops the exchange (SIGTERM) and starts it again on the same ports, as after a crash and restart.
    bool RestartExchange();
    // Starts the service with the road's settings, `overrides` ("CallBack/MaxCallBackTries" -> "2")
    // on top; true once it logged "Service started" and its lines are registered at the exchange.
    bool StartService(const QMap<QString, QString>& overrides = {});
    // The same, installed and started through the service manager (a daemon under control).
    bool StartManagedService(const QMap<QString, QString>& overrides = {});
    // Runs "Selvane <option>" (-p, -r, -t, ...) against the managed service; true on exit code 0.
    bool Control(const QString& option);
    // SIGTERM (or -t for a managed service); true when it ended by itself with exit code 0.
    bool StopService();
    // SIGKILL of the service started by StartService: a crash. True once it is gone.
    bool KillService();
    // How many of the lines (kLine1, kLine2) the service's settings register; 2 unless told.
    void SetServiceLines(int count) { serviceLines_ = count; }
    // The rows of a query on the road's database, each as its values; empty on failure.
    std::vector<QVariantList> Rows(const QString& select);

    // A phone registered at the exchange under number; extra voipcall arguments after the usual ones.
    // Waits for its registration.
    Child* Phone(const QString& number, const QStringList& extra = {});
    // A phone that calls `dialled` (registered as number, so it can be called back) and stays on.
    Child* Caller(const QString& number, const QString& dialled, const QStringList& extra = {});

    std::vector<IncomingRow> IncomingLog();
    // Waits until INCOMINGLOG holds at least n rows; the rows.
    std::vector<IncomingRow> WaitForIncoming(size_t n, int timeoutMs);
    bool AddSubscriber(const Subscriber& subscriber);
    // The first column of every row a query of the road's database gives, as text (empty on failure).
    QStringList Column(const QString& select);
    // Where the service sends its system log entries (a Unix datagram socket a test may bind).
    QString SystemLogSocket() const { return dir_.filePath(QStringLiteral("syslog.sock")); }

    Child& Exchange() { return *exchange_; }
    Child& Service() { return *service_; }
    PrivateFbServer& Database() { return *fb_; }
    QString ServiceLog() const { return dir_.filePath(QStringLiteral("bin/log.txt")); }
    int WaitInServiceLog(const QString& text, int timeoutMs, int from = 0) const;
    int CountInServiceLog(const QString& text) const;
    // Where the lines and phones register: the exchange, or Kamailio when it was started.
    QString ExchangeSip() const
    {
        return kamailio_ ? QString::fromStdString(kamailio_->Address()) : QStringLiteral("127.0.0.1:%1").arg(sipPort_);
    }
    int ControlPort() const { return controlPort_; }
    // The port the service's SIP listener binds (set once its settings are written).
    int ServiceSipPort() const { return serviceSipPort_; }
    // Settings may name the control server through a stand-in (a proxy) instead.
    void SetControlServer(const QString& server) { controlServer_ = server; }

private:
    bool WriteExchangeConfig(const QString& settings);
    bool WriteSettings(const QMap<QString, QString>& overrides);
    bool PrepareService(const QMap<QString, QString>& overrides);
    bool WaitServiceUp(int logged, int registered);
    // Waits for another registration of number than `before` at whichever exchange runs.
    bool WaitRegistered(const QString& number, int before);
    int Registrations(const QString& number) const;
    QMap<QString, QString> ServiceEnvironment() const;
    QSqlDatabase Connection();

    QTemporaryDir dir_;
    std::unique_ptr<PrivateFbServer> fb_;
    std::unique_ptr<Child> exchange_;
    std::unique_ptr<testsupport::KamailioPeer> kamailio_;
    std::unique_ptr<Child> service_;
    std::vector<std::unique_ptr<Child>> phones_;
    int sipPort_ = 0;
    int controlPort_ = 0;
    int serviceSipPort_ = 0;
    int exchangeStarts_ = 0;
    QString controlServer_;
    QString connectionName_;
    bool managed_ = false;
    int serviceLines_ = 2;
    int linesRegistered_[2] = {0, 0}; // registrations of each line before the service's start
};

} // namespace road
