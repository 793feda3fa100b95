// The exchange's control protocol as both ends speak it: JSON-RPC 2.0 over TCP, one compact JSON object
// per line. A client logs in first; the server refuses every other request until it has. The server
// tells the clients that opened a line of each change of that line's call state.
#pragma once

namespace pbxcontrol {

// The port of the exchange's control server unless its configuration names another.
inline constexpr int kDefaultPort = 7577;

// Every message ends with kLineEnd; blank lines are ignored.
inline constexpr char kLineEnd = '\n';
// The longest request a server takes; a client sending more is answered kInvalidRequest and dropped.
inline constexpr int kMaxRequestLine = 64 * 1024;
// The longest line a client takes from the server; more means the stream is not this protocol.
inline constexpr int kMaxServerLine = 1 << 20;

// The "jsonrpc" member of every message.
inline constexpr char kVersion[] = "2.0";

// Requests, with their params and results.
namespace method {
inline constexpr char kLogin[] = "login";                 // {username, password} -> true
inline constexpr char kSetClientType[] = "setClientType"; // {type} -> true
inline constexpr char kOpenLine[] = "openLine";           // {name} -> line id, 0: no such extension;
                                                          // followed by the line's callStateChanged
inline constexpr char kGetCOS[] = "getCOS";               // {line} -> class of service
inline constexpr char kSetCOS[] = "setCOS";               // {line, cos} -> true; cos >= 0
inline constexpr char kToDialable[] = "toDialable";       // {number} -> the number as the exchange dials it
} // namespace method

// The one notification, from the server: params {line, call, state}, state one of CallState.
inline constexpr char kCallStateChanged[] = "callStateChanged";

namespace param {
inline constexpr char kUsername[] = "username";
inline constexpr char kPassword[] = "password";
inline constexpr char kType[] = "type";
inline constexpr char kName[] = "name";
inline constexpr char kLine[] = "line";
inline constexpr char kCos[] = "cos";
inline constexpr char kNumber[] = "number";
inline constexpr char kCall[] = "call";
inline constexpr char kState[] = "state";
} // namespace param

// The only client type the exchange knows.
inline constexpr char kCallbackClientType[] = "callback";

enum CallState : int { Idle = 0, Connected = 1, Ringing = 2, Dialing = 3, Busy = 4, Hold = 5 };

enum ErrorCode : int {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kNotAuthorised = -32001,
    kNoSuchLine = -32010,
};

// The class identifier the component speaking this protocol is registered under in the automation
// registry (platform/Automation.h).
inline constexpr char kComponentClassId[] = "{3c1f6a2e-7b45-4d09-a8e2-51f0c9d4b7a6}";

} // namespace pbxcontrol
