#pragma once
// The slot's port as the system knows it: whether a name can be a port at all, what it
// resolves to, whether it is there, and how a run is pointed at it. One source file per
// platform.
#include <string>

namespace xarveld::station {

// POSIX: any path; Windows: COM1 to COM9, the ports the tool can open. False with why.
[[nodiscard]] bool port_name_acceptable(const std::string& port, std::string& why);

struct PortIdentity {
  std::string device;  // POSIX: the device the name resolves to (as given when it does not)
  std::string by_id;   // POSIX: the /dev/serial/by-id link that leads to it, or empty
};

PortIdentity port_identity(const std::string& port);

// What the port is now: empty when it is not there, and another text once it has been replaced
// (an adapter unplugged and plugged in again, however quickly).
std::string port_presence(const std::string& port);

// Points a run in directory at the port. POSIX: the symlink COM1 there, to the port made
// absolute, and port_number stays empty (COM1 is the tool's default); Windows: port_number
// becomes the n of COMn, for -c. False with the reason in why.
[[nodiscard]] bool port_bind(const std::string& port, const std::string& directory,
                             std::string& port_number, std::string& why);

// How the tool names the port port_bind gave it when it explains a failure: POSIX "COM1 (./COM1
// -> TARGET)", the link in the run's directory; Windows "COMn". The station's own link means
// nothing to the operator, who knows the port by the name the slot was given.
std::string port_bound_name(const std::string& port);

}  // namespace xarveld::station
