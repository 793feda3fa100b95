#include "voip/core/Endpoint.h"

#include "voip/core/Call.h"

#include <atomic>

namespace voip {

Endpoint::Endpoint(Manager& manager, const std::string& prefix) : manager_(manager), prefix_(prefix) {}

Endpoint::~Endpoint() = default;

std::shared_ptr<Connection> Endpoint::FindConnection(const std::string& token) const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = connections_.find(token);
    return it == connections_.end() ? nullptr : it->second;
}

SafeConnection<Connection> Endpoint::FindConnectionWithLock(const std::string& token) const
{
    return SafeConnection<Connection>(FindConnection(token));
}

std::vector<std::string> Endpoint::GetConnectionTokens() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    std::vector<std::string> tokens;
    for (const auto& entry : connections_)
        tokens.push_back(entry.first);
    return tokens;
}

size_t Endpoint::GetConnectionCount() const
{
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return connections_.size();
}

std::string Endpoint::StripPrefix(const std::string& address) const
{
    if (address.compare(0, prefix_.size() + 1, prefix_ + ":") == 0)
        return address.substr(prefix_.size() + 1);
    return address;
}

std::shared_ptr<Connection> Endpoint::MakeConnection(Call& call, const std::string& address, void* userData,
                                                     unsigned options, const StringOptions& stringOptions)
{
    static std::atomic<uint64_t> lastToken{0};
    std::string token = prefix_ + "/" + std::to_string(++lastToken);
    auto connection = CreateConnection(call, token, userData, address, options, stringOptions);
    if (!connection)
        return nullptr;
    std::unique_lock<std::shared_mutex> lock(mutex_);
    connections_[connection->GetToken()] = connection;
    return connection;
}

void Endpoint::Forget(const std::string& token)
{
    std::unique_lock<std::shared_mutex> lock(mutex_);
    connections_.erase(token);
}

} // namespace voip
