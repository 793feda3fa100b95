// The service's single SIP endpoint: its legs hand transfer requests to the manager, and its door
// decides which INVITEs may start a call at all.
#pragma once

#include "service/telephony/SipDoor.h"
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

    SipDoor& Door() { return door; }

protected:
    voip::InviteRefusal AdmitInvite(const voip::InviteRequest& invite) override;
    // A registrar's name is looked up again at each registration, as the stack resolves it anew.
    void OnLineRegistered(const std::string& line) override;

private:
    SipDoor door;
    MyManager& manager;
};
