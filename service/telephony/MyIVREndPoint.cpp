#include "service/telephony/MyIVREndPoint.h"

#include "common/Logging.h"
#include "service/telephony/MyIVRConnection.h"
#include "service/telephony/MyManager.h"

MyIVREndPoint::MyIVREndPoint(MyManager& m, const std::string& prefix)
    : voip::IvrEndpoint(m, prefix), manager(m)
{
}

std::shared_ptr<voip::Connection> MyIVREndPoint::CreateConnection(voip::Call& call, const std::string& token,
                                                                  void*, const std::string& address,
                                                                  unsigned options,
                                                                  const voip::StringOptions& stringOptions)
{
    return std::make_shared<MyIVRConnection>(call, *this, token, address, options, stringOptions);
}

void MyIVREndPoint::OnPinEntered(MyIVRConnection& connection, const std::string& pin)
{
    manager.OnPinEntered(connection, pin);
}

void MyIVREndPoint::OnTransferNumberEntered(MyIVRConnection& connection, const std::string& digits)
{
    manager.OnTransferNumberEntered(connection, digits);
}

void MyIVREndPoint::OnEstablishedIncomingIVR(MyIVRConnection& connection)
{
    Log(Debug, "IVR Esbablishe incomming call ");
    manager.OnEstablishedIncomingIVR(connection);
    Log(Debug, "IVR managed Esbablished incomming call ");
}

void MyIVREndPoint::OnEstablishedOutgoingIVR(MyIVRConnection& connection)
{
    manager.OnEstablishedOutgoingIVR(connection);
}
