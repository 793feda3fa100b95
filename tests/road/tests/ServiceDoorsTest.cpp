// The service's doors tried from outside on the whole road, as a stranger on the same network would:
// INVITEs sent straight to the service's SIP listener by SIPp (forged callers, calls for numbers that
// are not lines, a caller ID of 60,000 characters), a wrong PIN keyed by a real subscriber, and the
// exchange killed and started again under the service's feet.
#include "tests/road/Road.h"
#include "tests/support/Loopback.h"
#include "tests/support/SipPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QThread>

#include <string>
#include <utility>
#include <vector>

using road::Child;
using road::Road;

namespace {

QRegularExpression Re(const QString& pattern)
{
    return QRegularExpression(pattern);
}

// One INVITE from 127.0.0.1:fromPort for `dialled`, from `caller`, straight to the service; true when
// the service answered `status` and, when `warning` (a POSIX regular expression) is given, a Warning
// header matching it. The SIPp log is in `why` otherwise.
bool Knock(const Road& road, int fromPort, const std::string& dialled, const std::string& caller, int status,
           const std::string& warning, std::string& why)
{
    voip::SippProcess sipp;
    if (!sipp.MakeFolder())
        return false;
    const std::string check =
        warning.empty() ? std::string()
                        : "<action><ereg regexp=\"" + warning +
                              "\" search_in=\"hdr\" header=\"Warning:\" check_it=\"true\" assign_to=\"warning\"/></action>";
    // SIPp refuses a scenario with a variable assigned and never read, unless a Reference names it.
    const std::string reference = warning.empty() ? std::string() : "<Reference variables=\"warning\"/>";
    const std::string scenario = voip::Scenario(
        "door_caller",
        {{"CALLER_ID", caller},
         {"EXPECTED_STATUS", std::to_string(status)},
         {"WARNING_CHECK", check},
         {"WARNING_REFERENCE", reference}},
        sipp.Folder());
    const bool ran = sipp.Start({"127.0.0.1:" + std::to_string(road.ServiceSipPort()), "-sf", scenario, "-p",
                                 std::to_string(fromPort), "-s", dialled, "-m", "1",
                                 "-timeout", "20s", "-timeout_error"});
    const int code = ran ? sipp.Wait(std::chrono::seconds(30)) : -1;
    why = sipp.Log();
    return code == 0;
}

// How many lines of the exchange's output show a call placed by one of the service's lines.
int CallsFromLines(Road& road)
{
    return road.Exchange().Count(Re(QStringLiteral("call \\d+ from 20[12] to ")));
}

qint64 LogSize(const Road& road)
{
    return QFileInfo(road.ServiceLog()).size();
}

} // namespace

// Who may start a call: only the exchange (the lines' registrar, at its own port) and the trusted
// peer of the settings; only for a line; only with a caller ID the database could hold. Each refusal
// comes before any call exists: nothing answered, queued, logged in INCOMINGLOG or dialled out.
TEST(DoorsTest, StrangersRelaysAndOverlongCallerIdsAreTurnedAwayAtTheSipDoor)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    const int trusted = testsupport::FreeUdpPort();
    ASSERT_TRUE(road.StartService({{QStringLiteral("SIP/TrustedPeers"), QStringLiteral("127.0.0.1:%1").arg(trusted)}}));
    Child* desk = road.Phone(QString::fromLatin1(Road::kDesk));
    ASSERT_NE(desk, nullptr);
    std::string why;

    // A forged subscriber: the right line, a real subscriber's number, but from 127.0.0.1 on a port
    // that is neither the exchange's nor the trusted peer's. Refused with a Warning naming the source.
    int stranger = testsupport::FreeUdpPort();
    while (stranger == trusted)
        stranger = testsupport::FreeUdpPort();
    const std::string source = "127\\.0\\.0\\.1:" + std::to_string(stranger);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Knock(road, stranger, Road::kLine1, Road::kAlice, 403,
                          "^ ?399 [^ ]+ &quot;Source " + source + " is not trusted&quot;", why))
            << why;
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("SIP: call from 127.0.0.1:%1 refused (403)").arg(stranger), 5000), 0);

    // The trusted peer may call a line, but nothing else: other numbers would be carried out to the
    // exchange on the line's account. The line is the whole user part, not a part of it.
    for (const char* dialled : {Road::kDesk, "9102", "9988001234567", "900441234567890", "12019", "2011"})
        EXPECT_TRUE(Knock(road, trusted, dialled, Road::kAlice, 404, "", why)) << dialled << "\n" << why;
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("SIP: call to 9988001234567 from 127.0.0.1:%1 refused (404)").arg(trusted),
                                    5000),
              0);

    // A caller ID of 60,000 characters: refused at the door (the database holds 20), and the log
    // keeps a bounded line with the cut marked.
    const qint64 before = LogSize(road);
    const std::string huge(60000, '7');
    EXPECT_TRUE(Knock(road, trusted, Road::kLine1, huge, 403, "Caller ID longer than 32 characters", why)) << why;
    EXPECT_GE(road.WaitInServiceLog(QStringLiteral("refused (403): longer than any subscriber's"), 5000), 0);
    const qint64 written = LogSize(road) - before;
    EXPECT_LT(written, 8 * 1024) << "one refused call wrote " << written << " bytes to the log";
    EXPECT_GE(road.CountInServiceLog(QStringLiteral("\u2026[cut 59968]")), 1);

    // Nothing got through: no announcement, nothing in INCOMINGLOG, no call placed on a line, and the
    // desk phone never rang. A callback would have been placed within the 2-6 s of its delay.
    QThread::sleep(7);
    EXPECT_EQ(road.CountInServiceLog(QStringLiteral("OnIncommingCall from")), 0);
    EXPECT_TRUE(road.IncomingLog().empty());
    EXPECT_EQ(CallsFromLines(road), 0);
    EXPECT_EQ(desk->Count(Re(QStringLiteral("^(established|released) "))), 0);

    // The exchange, the lines' registrar, still brings a real subscriber in.
    Child* alice = road.Caller(Road::kAlice, Road::kLine1);
    ASSERT_NE(alice, nullptr);
    EXPECT_GE(alice->WaitFor(Re(QStringLiteral("^established ")), 20000), 0) << "the line did not answer";
    const auto rows = road.WaitForIncoming(1, 10000);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].callerId, QString::fromLatin1(Road::kAlice));
}

// A subscriber keys a wrong PIN: the log says so at Notice as before, but shows the PIN only as
// stars, and no key the subscriber pressed appears anywhere in it.
TEST(DoorsTest, AWrongPinIsLoggedAsStars)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService());
    Child* alice = road.Caller(Road::kAlice, Road::kLine1,
                               {QStringLiteral("--answer-keys"), QStringLiteral("2580#@4")});
    ASSERT_NE(alice, nullptr);
    ASSERT_GE(road.WaitInServiceLog(QStringLiteral("Got wrong PIN=**** from 1234567, asking to enter PIN again"), 60000),
              0);
    const QRegularExpression header(QStringLiteral("^\\[[^\\]]*\\]: "));
    int keys = 0;
    for (QString line : road::ReadLines(road.ServiceLog())) {
        line.remove(header);
        EXPECT_FALSE(line.contains(Re(QStringLiteral("\\b2580\\b")))) << qPrintable(line);
        if (line.contains(QStringLiteral("Got digit"))) {
            ++keys;
            EXPECT_TRUE(line.endsWith(QStringLiteral("Got digit *"))) << qPrintable(line);
        }
        if (line.contains(QStringLiteral("pin="))) {
            EXPECT_TRUE(line.contains(Re(QStringLiteral("pin=\\**$")))) << qPrintable(line);
        }
    }
    EXPECT_GE(keys, 4) << "the keys were logged, masked";
}

// The exchange dies and comes back on the same ports with no memory of the lines: the service logs
// in again on the control connection and registers both lines at once, so calls to them are answered
// again within seconds instead of at the next refresh minutes later.
TEST(DoorsTest, AfterTheExchangeRestartsCallsToTheLinesAreAnsweredAgainWithinSeconds)
{
    Road road;
    ASSERT_TRUE(road.StartExchange());
    ASSERT_TRUE(road.StartService());
    const int logged = road::ReadLines(road.ServiceLog()).size();
    ASSERT_TRUE(road.RestartExchange());
    for (const char* line : {Road::kLine1, Road::kLine2}) {
        EXPECT_GE(road.WaitInServiceLog(QStringLiteral("Registering line %1 again: the exchange's control connection is back")
                                            .arg(QLatin1String(line)),
                                        15000, logged),
                  0);
        EXPECT_GE(road.Exchange().WaitFor(Re(QStringLiteral("registered %1 at").arg(QLatin1String(line))), 15000), 0)
            << "line " << line << " not registered again";
    }
    Child* alice = road.Caller(Road::kAlice, Road::kLine2);
    ASSERT_NE(alice, nullptr);
    EXPECT_GE(alice->WaitFor(Re(QStringLiteral("^established ")), 10000), 0) << "the line did not answer";
    EXPECT_EQ(road.Exchange().Count(Re(QStringLiteral("call from 1234567 to 202 refused"))), 0);
    EXPECT_EQ(road.WaitForIncoming(1, 10000).size(), 1u);
}
