// The IVR endpoint ("ivr"): makes the service's IVR connections and passes their events to the manager.
#pragma once

#include "voip/ivr/IvrEndpoint.h"

#include <memory>
#include <string>

class MyIVRConnection;
class MyManager;

class MyIVREndPoint : public voip::IvrEndpoint
{
public:
    explicit MyIVREndPoint(MyManager& manager, const std::string& prefix = "ivr");

    std::shared_ptr<voip::Connection> CreateConnection(voip::Call& call, const std::string& token,
                                                       void* userData, const std::string& address,
                                                       unsigned options,
                                                       const voip::StringOptions& stringOptions) override;

    void OnPinEntered(MyIVRConnection& connection, const std::string& pin);
    void OnTransferNumberEntered(MyIVRConnection& connection, const std::string& digits);
    void OnEstablishedIncomingIVR(MyIVRConnection& connection);
    void OnEstablishedOutgoingIVR(MyIVRConnection& connection);

private:
    MyManager& manager;
};
