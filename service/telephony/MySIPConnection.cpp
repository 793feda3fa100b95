#include "service/telephony/MySIPConnection.h"

#include "service/telephony/MySIPEndPoint.h"

MySIPConnection::MySIPConnection(MySIPEndPoint& ep, voip::Call& call, const std::string& token,
                                 const std::string& address, unsigned options,
                                 const voip::StringOptions& stringOptions)
    : voip::SipConnection(ep, call, token, address, options, stringOptions), endpoint(ep)
{
}

bool MySIPConnection::TransferConnection(const std::string& destination)
{
    endpoint.TransferRequest(*this, destination);
    return true;
}
