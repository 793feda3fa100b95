// The call manager: owns the endpoints, sets calls up between two addresses, routes, clears.
#pragma once

#include "voip/core/CallEndReason.h"
#include "voip/core/CallOptions.h"
#include "voip/core/RouteTable.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace voip {

class Call;
class Connection;
class Endpoint;
class Executor;

class Manager
{
public:
    Manager();
    // A derived manager calls ShutDownEndpoints() in its own destructor, while its overrides still exist.
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Takes ownership; one endpoint per prefix.
    template <class T>
    T& AddEndpoint(std::unique_ptr<T> endpoint)
    {
        T& ref = *endpoint;
        AttachEndpoint(std::unique_ptr<Endpoint>(std::move(endpoint)));
        return ref;
    }
    Endpoint* FindEndpoint(const std::string& prefix) const;
    // Clears every call, waits for their notifications, then shuts the endpoints down. Idempotent.
    void ShutDownEndpoints();

    // Sets up a call from partyA to partyB and gives its token. An address whose prefix names an
    // endpoint ("ivr:...", "sip:...") goes to that endpoint; any other is routed by the route table
    // first. False when an address has no endpoint or route, or a party refuses at once.
    bool SetUpCall(const std::string& partyA, const std::string& partyB, std::string& token,
                   void* userData = nullptr, unsigned options = 0, const StringOptions& stringOptions = {});
    bool IsCallEstablished(const std::string& token) const;
    // Starts clearing the call; false when no call has the token.
    bool ClearCall(const std::string& token, CallEndReason reason = CallEndReason::LocalUser);
    // Clears and waits until the call's release notifications have run.
    bool ClearCallSynchronous(const std::string& token, CallEndReason reason = CallEndReason::LocalUser);
    void ClearCall(Call& call, CallEndReason reason = CallEndReason::LocalUser);
    void ClearAllCalls(CallEndReason reason = CallEndReason::LocalUser, bool wait = true);
    std::shared_ptr<Call> FindCall(const std::string& token) const;
    // Calls held: set up and not yet cleared.
    size_t GetCallCount() const;
    std::vector<std::string> GetCallTokens() const;

    // "pattern = destination"; see RouteTable.
    bool AddRouteEntry(const std::string& entry);
    RouteTable& GetRouteTable() { return routes_; }

    // Notifications, on worker threads (an override may block; it blocks only its own call).
    // Both parties of the call are up.
    virtual void OnEstablishedCall(Call& call);
    // A connection has been released, after its own OnReleased.
    virtual void OnReleased(Connection& connection);
    // The call's last connection has been released.
    virtual void OnClearedCall(Call& call);

    // For endpoint implementations: a call arriving from the network on endpoint, from remote, for
    // destination (routed by the table). attach binds the protocol side to the new A-party before
    // the B-party is made; returning false refuses. Null (the A-party released with the reason)
    // when the call cannot go on.
    std::shared_ptr<Call> OnIncomingCall(Endpoint& endpoint, const std::string& remote,
                                         const std::string& destination,
                                         const std::function<bool(Connection&)>& attach,
                                         const StringOptions& stringOptions = {});
    // Runs task on a worker thread; the pool grows with demand.
    void Post(std::function<void()> task);
    Executor& Workers() { return *workers_; }

private:
    friend class Call;
    void AttachEndpoint(std::unique_ptr<Endpoint> endpoint);
    std::shared_ptr<Call> NewCall(void* userData);
    std::shared_ptr<Connection> MakeConnection(Call& call, const std::string& address, void* userData,
                                               unsigned options, const StringOptions& stringOptions);
    void CallCleared(Call& call);

    std::unique_ptr<Executor> workers_;
    RouteTable routes_;
    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Endpoint>> endpoints_;
    std::map<std::string, std::shared_ptr<Call>> calls_;
    std::atomic<uint64_t> lastCall_{0};
    bool shutDown_ = false;
};

} // namespace voip
