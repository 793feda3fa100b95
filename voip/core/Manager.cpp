#include "voip/core/Manager.h"

#include "voip/core/Call.h"
#include "voip/core/Connection.h"
#include "voip/core/Endpoint.h"
#include "voip/core/Executor.h"

#include "voip/core/Log.h"

namespace voip {

namespace {
// How long shutting down waits for one call's release notifications.
constexpr std::chrono::seconds kShutDownWait{10};
} // namespace

Manager::Manager() : workers_(std::make_unique<Executor>()) {}

Manager::~Manager()
{
    ShutDownEndpoints();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }
    // Workers first: a notification still running may use an endpoint.
    workers_.reset();
    endpoints_.clear();
}

void Manager::AttachEndpoint(std::unique_ptr<Endpoint> endpoint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_[endpoint->GetPrefix()] = std::move(endpoint);
}

Endpoint* Manager::FindEndpoint(const std::string& prefix) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(prefix);
    return it == endpoints_.end() ? nullptr : it->second.get();
}

void Manager::ShutDownEndpoints()
{
    std::vector<Endpoint*> endpoints;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_)
            return;
        shutDown_ = true;
    }
    std::vector<std::shared_ptr<Call>> calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : calls_)
            calls.push_back(entry.second);
    }
    for (const auto& call : calls)
        call->Clear(CallEndReason::ShuttingDown);
    for (const auto& call : calls)
        if (!call->WaitCleared(kShutDownWait))
            Log(Warning, "Call ", call->GetToken(), " not cleared at shut-down");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : endpoints_)
            endpoints.push_back(entry.second.get());
    }
    for (Endpoint* endpoint : endpoints)
        endpoint->ShutDown();
}

std::shared_ptr<Call> Manager::NewCall(void* userData)
{
    auto call = std::make_shared<Call>(*this, "call/" + std::to_string(++lastCall_), userData);
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutDown_)
        return nullptr;
    calls_[call->GetToken()] = call;
    return call;
}

std::shared_ptr<Connection> Manager::MakeConnection(Call& call, const std::string& address, void* userData,
                                                    unsigned options, const StringOptions& stringOptions)
{
    std::string target = address;
    size_t colon = target.find(':');
    Endpoint* endpoint = colon == std::string::npos ? nullptr : FindEndpoint(target.substr(0, colon));
    if (!endpoint) {
        target = routes_.Route(address);
        colon = target.find(':');
        endpoint = colon == std::string::npos ? nullptr : FindEndpoint(target.substr(0, colon));
        if (!endpoint) {
            Log(Debug, "voip: no route for ", address);
            return nullptr;
        }
    }
    return endpoint->MakeConnection(call, target, userData, options, stringOptions);
}

bool Manager::SetUpCall(const std::string& partyA, const std::string& partyB, std::string& token, void* userData,
                        unsigned options, const StringOptions& stringOptions)
{
    auto call = NewCall(userData);
    if (!call)
        return false;
    auto a = MakeConnection(*call, partyA, userData, options, stringOptions);
    if (!a) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.erase(call->GetToken());
        return false;
    }
    call->Add(a);
    auto b = MakeConnection(*call, partyB, userData, options, stringOptions);
    if (!b) {
        call->Clear(CallEndReason::Unreachable);
        return false;
    }
    call->Add(b);
    token = call->GetToken();
    if (!b->SetUpConnection()) {
        call->Clear(CallEndReason::Unreachable);
        return false;
    }
    return true;
}

std::shared_ptr<Call> Manager::OnIncomingCall(Endpoint& endpoint, const std::string& remote,
                                              const std::string& destination,
                                              const std::function<bool(Connection&)>& attach,
                                              const StringOptions& stringOptions)
{
    auto call = NewCall(nullptr);
    if (!call)
        return nullptr;
    auto a = endpoint.MakeConnection(*call, remote, nullptr, 0, stringOptions);
    if (!a) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.erase(call->GetToken());
        return nullptr;
    }
    call->Add(a);
    if (!attach(*a)) {
        call->Clear(CallEndReason::Refused);
        return nullptr;
    }
    std::string route = routes_.Route(destination);
    std::shared_ptr<Connection> b;
    if (!route.empty())
        b = MakeConnection(*call, route, nullptr, 0, stringOptions);
    if (!b) {
        Log(Debug, "voip: no route for incoming call to ", destination);
        call->Clear(CallEndReason::Unreachable);
        return nullptr;
    }
    call->Add(b);
    if (!b->SetUpConnection()) {
        call->Clear(CallEndReason::Unreachable);
        return nullptr;
    }
    return call;
}

std::shared_ptr<Call> Manager::FindCall(const std::string& token) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(token);
    return it == calls_.end() ? nullptr : it->second;
}

bool Manager::IsCallEstablished(const std::string& token) const
{
    auto call = FindCall(token);
    return call && call->IsEstablished();
}

bool Manager::ClearCall(const std::string& token, CallEndReason reason)
{
    auto call = FindCall(token);
    if (!call)
        return false;
    call->Clear(reason);
    return true;
}

bool Manager::ClearCallSynchronous(const std::string& token, CallEndReason reason)
{
    auto call = FindCall(token);
    if (!call)
        return false;
    call->Clear(reason);
    call->WaitCleared();
    return true;
}

void Manager::ClearCall(Call& call, CallEndReason reason)
{
    call.Clear(reason);
}

void Manager::ClearAllCalls(CallEndReason reason, bool wait)
{
    std::vector<std::shared_ptr<Call>> calls;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : calls_)
            calls.push_back(entry.second);
    }
    for (const auto& call : calls)
        call->Clear(reason);
    if (wait)
        for (const auto& call : calls)
            call->WaitCleared();
}

size_t Manager::GetCallCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
}

std::vector<std::string> Manager::GetCallTokens() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> tokens;
    for (const auto& entry : calls_)
        tokens.push_back(entry.first);
    return tokens;
}

bool Manager::AddRouteEntry(const std::string& entry)
{
    return routes_.Add(entry);
}

void Manager::OnEstablishedCall(Call&) {}

void Manager::OnReleased(Connection&) {}

void Manager::OnClearedCall(Call&) {}

void Manager::Post(std::function<void()> task)
{
    workers_->Post(std::move(task));
}

void Manager::CallCleared(Call& call)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!calls_.count(call.GetToken()))
            return;
    }
    OnClearedCall(call);
    // Only now: a manager that sees no call left may go away, and no notification still runs in it.
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.erase(call.GetToken());
}

} // namespace voip
