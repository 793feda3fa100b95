#include "voip/core/Call.h"

#include "voip/core/Connection.h"
#include "voip/core/Endpoint.h"
#include "voip/core/Executor.h"
#include "voip/core/Manager.h"

#include "voip/core/Log.h"

#include <exception>

namespace voip {

Call::Call(Manager& manager, const std::string& token, void* userData)
    : manager_(manager), token_(token), userData_(userData),
      strand_(std::make_shared<Strand>(manager.Workers()))
{
}

Call::~Call() = default;

std::shared_ptr<Connection> Call::GetConnection(size_t index) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return index < connections_.size() ? connections_[index] : nullptr;
}

std::shared_ptr<Connection> Call::GetOtherPartyConnection(const Connection& connection) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& c : connections_)
        if (c.get() != &connection)
            return c;
    return nullptr;
}

bool Call::IsEstablished() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return established_ && !clearing_;
}

bool Call::WasEstablished() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return established_;
}

bool Call::IsClearing() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clearing_;
}

bool Call::IsCleared() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cleared_;
}

CallEndReason Call::GetCallEndReason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return endReason_;
}

void Call::Add(const std::shared_ptr<Connection>& connection)
{
    std::lock_guard<std::mutex> lock(mutex_);
    {
        std::lock_guard<std::mutex> clock(connection->mutex_);
        connection->originating_ = connections_.empty();
    }
    connections_.push_back(connection);
}

void Call::Clear(CallEndReason reason)
{
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clearing_)
            return;
        clearing_ = true;
        endReason_ = reason;
        connections = connections_;
    }
    for (const auto& c : connections) {
        std::lock_guard<std::mutex> lock(c->mutex_);
        c->phase_ = Connection::Phase::Releasing;
        c->endReason_ = reason;
    }
    for (const auto& c : connections)
        c->OnClearing(reason);
    Notify([self = shared_from_this()] { self->Released(); });
}

bool Call::WaitCleared(std::chrono::milliseconds timeout)
{
    if (OnOwnStrand())
        return false;
    std::unique_lock<std::mutex> lock(mutex_);
    auto done = [this] { return cleared_; };
    if (timeout == std::chrono::milliseconds::max()) {
        clearedCv_.wait(lock, done);
        return true;
    }
    return clearedCv_.wait_for(lock, timeout, done);
}

void Call::ConnectionConnected(Connection& connection)
{
    std::shared_ptr<Connection> answer;
    std::vector<std::shared_ptr<Connection>> established;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clearing_ || established_ || connections_.size() < 2)
            return;
        bool all = true;
        for (const auto& c : connections_)
            if (c->GetPhase() != Connection::Phase::Connected)
                all = false;
        if (all) {
            established_ = true;
            established = connections_;
            for (const auto& c : connections_) {
                std::lock_guard<std::mutex> clock(c->mutex_);
                c->phase_ = Connection::Phase::Established;
            }
        } else if (connections_[1].get() == &connection) {
            // The called party answered: now the calling party may accept.
            answer = connections_[0];
        }
    }
    if (answer && (answer->GetPhase() == Connection::Phase::SettingUp ||
                   answer->GetPhase() == Connection::Phase::Alerting))
        answer->AnswerCall();
    if (established.empty())
        return;
    Notify([self = shared_from_this(), established] {
        for (const auto& c : established)
            if (!self->IsClearing())
                c->OnEstablished();
        if (!self->IsClearing())
            self->manager_.OnEstablishedCall(*self);
    });
}

void Call::Notify(std::function<void()> task)
{
    strand_->Post([self = shared_from_this(), task = std::move(task)] {
        try {
            task();
        } catch (const std::exception& e) {
            Log(Warning, "Call ", self->token_, " notification failed: ", e.what());
        }
    });
}

bool Call::OnOwnStrand() const
{
    return strand_->RunningHere();
}

void Call::Released()
{
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections = connections_;
    }
    for (const auto& c : connections) {
        {
            std::lock_guard<std::mutex> lock(c->mutex_);
            c->phase_ = Connection::Phase::Released;
        }
        try {
            c->OnReleased();
            manager_.OnReleased(*c);
        } catch (const std::exception& e) {
            Log(Warning, "Call ", token_, " release notification failed: ", e.what());
        }
        c->GetEndpoint().Forget(c->GetToken());
    }
    manager_.CallCleared(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    cleared_ = true;
    clearedCv_.notify_all();
}

} // namespace voip
