// The service's single SIP endpoint: its legs hand transfer requests to the manager.
#pragma once

#include "voip/sip/SipEndpoint.h"

#include <memory>
#include <string>

class MyManager;
class MySIPConnection;

class MySIPEndPoint : public voip::SipEndpoint
{
public:
    MySIPEndPoint(MyManager& manager, unsigned connectionThreads, unsigned handlerThreads);

    std::shared_ptr<voip::Connection> CreateConnection(voip::Call& call, const std::string& token,
                                                       void* userData, const std::string& address,
                                                       unsigned options,
                                                       const voip::StringOptions& stringOptions) override;

    void TransferRequest(MySIPConnection& connection, const std::string& destination);

private:
    MyManager& manager;
};
