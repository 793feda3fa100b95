#include "service/telephony/MySIPEndPoint.h"

#include "service/telephony/MyManager.h"
#include "service/telephony/MySIPConnection.h"

MySIPEndPoint::MySIPEndPoint(MyManager& m, unsigned connectionThreads, unsigned handlerThreads)
    : voip::SipEndpoint(m), manager(m)
{
}

std::shared_ptr<voip::Connection> MySIPEndPoint::CreateConnection(voip::Call& call, const std::string& token,
                                                                  void*, const std::string& address,
                                                                  unsigned options,
                                                                  const voip::StringOptions& stringOptions)
{
    return std::make_shared<MySIPConnection>(*this, call, token, address, options, stringOptions);
}

void MySIPEndPoint::TransferRequest(MySIPConnection& connection, const std::string& destination)
{
    manager.MakeTransfer(connection, destination);
}

voip::InviteRefusal MySIPEndPoint::AdmitInvite(const voip::InviteRequest& invite)
{
    return door.Admit(invite);
}

void MySIPEndPoint::OnLineRegistered(const std::string&)
{
    door.Resolve();
}
