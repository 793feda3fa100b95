// What a stranger on the network throws at a control server (newline-delimited JSON-RPC 2.0 over
// TCP on 127.0.0.1): a client that never reads, a crowd of silent connections, a burst of password
// guesses. Plain blocking sockets, every wait bounded; the figures are for the test to judge.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace testsupport {

struct GreedyResult
{
    bool loggedIn = false;
    size_t sent = 0;      // request bytes it got out
    bool dropped = false; // the server closed the connection
};
// Logs in, then sends up to maxBytes of small requests without reading a single answer.
GreedyResult FloodWithoutReading(int port, const std::string& user, const std::string& password, size_t maxBytes);

// Opens count connections that never say a word; how many of them the server closed within timeout.
int SilentCrowd(int port, int count, std::chrono::milliseconds timeout);

struct GuessResult
{
    int answers = 0;      // answers that came, each within answerTimeout of the one before
    bool dropped = false; // the server closed the connection after them
};
// Sends count logins with wrong passwords in one go.
GuessResult GuessPasswords(int port, const std::string& user, int count,
                           std::chrono::milliseconds answerTimeout = std::chrono::seconds(3));

// A new connection the server closes within timeout without a word from us.
bool ClosedUnasked(int port, std::chrono::milliseconds timeout);

} // namespace testsupport
