// What the manager's side and the service's side of the control socket share. Internal to platform/.
//
// One request per connection, one line each way:
//   "status\n" or "control <code>\n"  ->  "<errno> <type> <state> <accepted> <exit code> <pid>\n"
// errno 0 means the request was carried out.
#pragma once

#include "platform/ServiceManager.h"

#include <string>

namespace platform::channel {

// Environment a launched service finds: the marker with its service name, and the descriptor on which
// it tells the launcher that its dispatcher is connected ("R") or could not start ("F<errno>").
inline constexpr const char* kMarkerVariable = "SELVANE_SERVICE_MANAGER";
inline constexpr const char* kReadyFdVariable = "SELVANE_SERVICE_READY_FD";
// The lock and the listening socket, taken by the launcher so that a service running under another
// account needs no write access to the runtime folder: "<lock fd> <socket fd>".
inline constexpr const char* kListenFdsVariable = "SELVANE_SERVICE_LISTEN_FDS";

std::string SocketPath(const std::string& name);
std::string LockPath(const std::string& name);

// Holds the service's lock and listens on its socket. The lock keeps a second instance off the socket;
// a socket left by a killed instance is replaced. Both descriptors are close-on-exec.
bool TakeSocket(const std::string& name, int* lockFd, int* listenFd);

std::string FormatReply(int error, const ServiceStatus& status);
bool ParseReply(const std::string& line, int* error, ServiceStatus* status);

// Reads one line (without its newline) before the deadline in milliseconds from now.
bool ReadLine(int fd, std::string* line, int timeoutMs);
bool WriteAll(int fd, const std::string& text);

// Whether the service answers on its socket with a state other than stopped. A socket that takes the
// question but gives no answer counts as running: nothing is deleted under a service that may still run.
bool IsRunning(const std::string& name);

// The account's local user name: ".\alice" -> "alice"; other forms are kept as they are.
std::string LocalUserName(const std::string& account);

} // namespace platform::channel
