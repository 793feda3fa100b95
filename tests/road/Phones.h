// What the road's voipcall phones report, read back from their output: calls established and
// released, and the RTP each call has received.
#pragma once

#include "tests/road/Road.h"

#include <QString>
#include <QStringList>

#include <initializer_list>

namespace road {

// voipcall's arguments that key each group in turn after an answer ("1234#@4": the keys, then the
// seconds after the answer).
QStringList Keys(std::initializer_list<const char*> groups);

// The RTP packets a phone has received on one call so far (its latest "media" line), or -1.
long long Received(const Child& phone, const QString& call);
// Waits until the phone has received `packets` more on that call than it had; audio is flowing then.
bool AudioFlows(const Child& phone, const QString& call, long long packets, int timeoutMs = 10000);

// The phone's "established <connection> <remote>" lines hold the connection token; its calls are
// "call/<n>" and media lines name calls. An incoming call's first connection carries the call number.
struct CallSeen
{
    int line = -1;
    QString connection;
    QString call;
    QString remote;
};

CallSeen WaitEstablished(const Child& phone, int timeoutMs, int from = 0);
// The callback: the second call the phone sees established (the first is its own call to the line,
// whose announcement may still be playing when the callback comes).
CallSeen WaitCallback(const Child& phone, int timeoutMs);
// Line of the phone's "released" report for that call, waiting; -1 when it does not come.
int WaitReleased(const Child& phone, const CallSeen& seen, int timeoutMs);

} // namespace road
