#include "tests/road/Phones.h"

#include "tests/support/Wait.h"

#include <QRegularExpression>

#include <algorithm>

namespace road {

QStringList Keys(std::initializer_list<const char*> groups)
{
    QStringList args;
    for (const char* g : groups)
        args << QStringLiteral("--answer-keys") << QLatin1String(g);
    return args;
}

long long Received(const Child& phone, const QString& call)
{
    long long received = -1;
    const QRegularExpression media(QStringLiteral("^media %1 sent=\\d+ received=(\\d+)").arg(QRegularExpression::escape(call)));
    for (const QString& line : phone.Lines()) {
        auto m = media.match(line);
        if (m.hasMatch())
            received = m.captured(1).toLongLong();
    }
    return received;
}

bool AudioFlows(const Child& phone, const QString& call, long long packets, int timeoutMs)
{
    const long long base = std::max(0LL, Received(phone, call));
    return testsupport::WaitFor([&] { return Received(phone, call) >= base + packets; },
                                std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(100));
}

CallSeen WaitEstablished(const Child& phone, int timeoutMs, int from)
{
    QRegularExpressionMatch m;
    CallSeen seen;
    seen.line = phone.WaitFor(QRegularExpression(QStringLiteral("^established (\\S+) (\\S+)")), timeoutMs, from, &m);
    if (seen.line >= 0) {
        seen.connection = m.captured(1);
        seen.remote = m.captured(2);
    }
    // The call a media line names is the one whose "media" lines follow; take the latest call seen.
    QRegularExpressionMatch media;
    if (seen.line >= 0 && phone.WaitFor(QRegularExpression(QStringLiteral("^media (\\S+) ")), 5000, seen.line, &media) >= 0)
        seen.call = media.captured(1);
    return seen;
}

CallSeen WaitCallback(const Child& phone, int timeoutMs)
{
    const int first = phone.WaitFor(QRegularExpression(QStringLiteral("^established ")), timeoutMs);
    return first < 0 ? CallSeen{} : WaitEstablished(phone, timeoutMs, first + 1);
}

int WaitReleased(const Child& phone, const CallSeen& seen, int timeoutMs)
{
    return phone.WaitFor(
        QRegularExpression(QStringLiteral("^released %1 ").arg(QRegularExpression::escape(seen.connection))),
        timeoutMs, seen.line);
}

} // namespace road
