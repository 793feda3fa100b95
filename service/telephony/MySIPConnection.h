// One SIP leg of the service. A transfer asked for by the IVR on the other side of the call goes
// to the manager, which places the transfer call itself; nothing is transferred on the SIP level.
#pragma once

#include "voip/sip/SipConnection.h"

#include <string>

class MySIPEndPoint;

class MySIPConnection : public voip::SipConnection
{
public:
    MySIPConnection(MySIPEndPoint& endpoint, voip::Call& call, const std::string& token,
                    const std::string& address, unsigned options, const voip::StringOptions& stringOptions);

    // Always true: the leg stays as it is.
    bool TransferConnection(const std::string& destination) override;

private:
    MySIPEndPoint& endpoint;
};
