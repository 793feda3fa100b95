// A kind of party, chosen by the address prefix ("sip", "ivr"): makes and keeps its connections.
#pragma once

#include "voip/core/CallEndReason.h"
#include "voip/core/Connection.h"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace voip {

class Call;
class Manager;

class Endpoint
{
public:
    // Hand the endpoint to the manager (Manager::AddEndpoint), which owns it.
    Endpoint(Manager& manager, const std::string& prefix);
    virtual ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    const std::string& GetPrefix() const { return prefix_; }
    Manager& GetManager() const { return manager_; }

    // The connection factory. address is the whole address, prefix included; for a network call
    // that came in it is the calling party's address. Return null to refuse.
    virtual std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void* userData,
                                                         const std::string& address, unsigned options,
                                                         const StringOptions& stringOptions) = 0;

    // Connections of this endpoint not yet released, by token.
    std::shared_ptr<Connection> FindConnection(const std::string& token) const;
    SafeConnection<Connection> FindConnectionWithLock(const std::string& token) const;
    template <class T>
    SafeConnection<T> FindConnectionWithLockAs(const std::string& token) const
    {
        return SafeConnection<T>(std::dynamic_pointer_cast<T>(FindConnection(token)));
    }
    std::vector<std::string> GetConnectionTokens() const;
    size_t GetConnectionCount() const;

    // Called by the manager before endpoints are destroyed, calls already cleared.
    virtual void ShutDown() {}

    // The address without "prefix:".
    std::string StripPrefix(const std::string& address) const;

private:
    friend class Manager;
    friend class Call;
    // Makes a connection for a call through the factory and keeps it under a new token.
    std::shared_ptr<Connection> MakeConnection(Call& call, const std::string& address, void* userData,
                                               unsigned options, const StringOptions& stringOptions);
    void Forget(const std::string& token);

    Manager& manager_;
    const std::string prefix_;
    mutable std::shared_mutex mutex_;
    std::map<std::string, std::shared_ptr<Connection>> connections_;
};

} // namespace voip
