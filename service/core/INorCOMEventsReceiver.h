// Events about the service's SIP lines reported by the PBX.
#pragma once

#include <string>

class INorCOMEventsReceiver
{
public:
    virtual void OnSIPCallConnected(const std::string& lineName) = 0;
    virtual void OnSIPCallDisconnected(const std::string& lineName) = 0;
    // The exchange's control connection is back after a loss: the exchange may have restarted and
    // forgotten the lines' registrations.
    virtual void OnExchangeSessionRestored() {}

protected:
    ~INorCOMEventsReceiver() = default;
};
