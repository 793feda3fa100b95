// Read-only view of the service's configuration.
#pragma once

#include <string>
#include <vector>

struct SipRegistration
{
    std::string login;
    std::string password;
    std::string server;
};

class ICBSrvSettings
{
public:
    virtual const std::vector<SipRegistration>& GetSipRegistrations() const = 0;
    virtual const std::vector<std::string>& GetDummyExtensions() const = 0;
    virtual std::string GetLocalAddress() const = 0;
    virtual int GetMaxNumbersInQueue() const = 0;
    virtual int GetMaxCallBackTries() const = 0;
    virtual int GetDialTimer() const = 0;
    virtual int GetEnterPinTimer() const = 0;
    virtual int GetEnterPinMaxTries() const = 0;
    virtual int GetEnterNumberTimer() const = 0;
    virtual std::string GetApplicationDir() const = 0;
    virtual std::string GetACDGroupName() const = 0;
    // "host[:port]" the SIP listener binds; empty: every interface on 5060.
    virtual std::string GetListenAddress() const = 0;
    // The PBX control server ("host[:port]") and the login on it.
    virtual std::string GetServer() const = 0;
    virtual std::string GetUsername() const = 0;
    virtual std::string GetNorvelPassword() const = 0;
    // Sources besides the lines' servers that may start calls at the SIP listener: "host" (any port)
    // or "host:port" (that port only).
    virtual std::vector<std::string> GetTrustedPeers() const { return {}; }
    // Numbers the queue timer may call back on one tick: 1 by default; 0 as many as lines are free.
    virtual int GetCallBacksPerTick() const { return 1; }
    // The PIN lockout: this many callback sessions ending without the right PIN within the window (in
    // minutes) lock the caller ID out for the lock's minutes. Off while any of the three is 0 or less.
    virtual int GetPinLockoutFailures() const { return 0; }
    virtual int GetPinLockoutWindow() const { return 0; }
    virtual int GetPinLockoutMinutes() const { return 0; }

protected:
    ~ICBSrvSettings() = default; // owned and destroyed through the concrete class
};
