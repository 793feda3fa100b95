// The extensions as the control side sees them: stable line ids, the class of service each has
// now, and each line's last call state. Shared by the SIP side and the control server.
#pragma once

#include "exchange/Config.h"
#include "platform/pbxcontrol/ControlProtocol.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace exchange {

// The control protocol's call states.
enum class CallState {
    Idle = pbxcontrol::Idle,
    Connected = pbxcontrol::Connected,
    Ringing = pbxcontrol::Ringing,
    Dialing = pbxcontrol::Dialing,
    Busy = pbxcontrol::Busy,
    Hold = pbxcontrol::Hold,
};
const char* CallStateName(CallState state);

class LineTable
{
public:
    // Line ids are 1, 2, ... in the order of the configuration's extensions, for the life of the
    // exchange.
    explicit LineTable(const ExchangeConfig& config);

    int IdOf(const std::string& number) const; // 0: no such extension
    std::string NumberOf(int id) const;         // empty: no such line
    bool IsLine(const std::string& number) const;
    // -1 when there is no such extension.
    int CosOf(const std::string& number) const;
    bool GetCos(int id, int& cos) const;
    bool SetCos(int id, int cos);

    struct LineState
    {
        int call = 0;
        CallState state = CallState::Idle;
    };
    LineState StateOf(int id) const;
    // Records the state and tells the observer (outside the table's lock).
    void Report(const std::string& number, int call, CallState state);
    // Called with (line id, call id, state) from the thread that reports.
    void SetObserver(std::function<void(int, int, CallState)> observer);

private:
    struct Entry
    {
        Extension extension;
        int cos;
        LineState state;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_; // index = id - 1
    std::map<std::string, int> ids_;
    std::function<void(int, int, CallState)> observer_;
};

} // namespace exchange
