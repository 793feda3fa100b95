// A call: its A-party (the one that started it) and its B-party, under one token.
#pragma once

#include "voip/core/CallEndReason.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

class Connection;
class Strand;
class Manager;

class Call : public std::enable_shared_from_this<Call>
{
public:
    // Made by the manager only.
    Call(Manager& manager, const std::string& token, void* userData);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    const std::string& GetToken() const { return token_; }
    Manager& GetManager() const { return manager_; }
    void* GetUserData() const { return userData_; }

    // 0 is the A-party, 1 the B-party; null when absent.
    std::shared_ptr<Connection> GetConnection(size_t index) const;
    std::shared_ptr<Connection> GetOtherPartyConnection(const Connection& connection) const;

    // Both parties up.
    bool IsEstablished() const;
    // Both parties were up at some time, clearing or not.
    bool WasEstablished() const;
    // Clearing has started.
    bool IsClearing() const;
    // Every release notification has run; the manager no longer holds the call.
    bool IsCleared() const;
    CallEndReason GetCallEndReason() const;

    // Starts clearing and returns at once; the first reason given wins.
    void Clear(CallEndReason reason = CallEndReason::LocalUser);
    // Waits until cleared. Called from this call's own notification it does not wait (that could
    // never end) and answers false.
    bool WaitCleared(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

private:
    friend class Manager;
    friend class Connection;

    void Add(const std::shared_ptr<Connection>& connection);
    void ConnectionConnected(Connection& connection);
    // Runs task on a worker, after the call's earlier notifications.
    void Notify(std::function<void()> task);
    void Released();
    bool OnOwnStrand() const;

    Manager& manager_;
    const std::string token_;
    void* const userData_;
    std::shared_ptr<Strand> strand_;

    mutable std::mutex mutex_;
    std::condition_variable clearedCv_;
    std::vector<std::shared_ptr<Connection>> connections_;
    bool established_ = false;
    bool clearing_ = false;
    bool cleared_ = false;
    CallEndReason endReason_ = CallEndReason::None;
};

} // namespace voip
