// Events about the service's SIP lines reported by the PBX.
#pragma once

#include <string>

class INorCOMEventsReceiver
{
public:
    virtual void OnSIPCallConnected(const std::string& lineName) = 0;
    virtual void OnSIPCallDisconnected(const std::string& lineName) = 0;

protected:
    ~INorCOMEventsReceiver() = default;
};
