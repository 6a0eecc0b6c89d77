#include <windows.h>

#include <cctype>

#include "station/os/port.hpp"

namespace xarveld::station {

namespace {
// "COM1" to "COM9", in any case: the ports the tool can be given with -c.
bool com_name(const std::string& port) {
  return port.size() == 4 && std::toupper(static_cast<unsigned char>(port[0])) == 'C' &&
         std::toupper(static_cast<unsigned char>(port[1])) == 'O' &&
         std::toupper(static_cast<unsigned char>(port[2])) == 'M' && port[3] >= '1' &&
         port[3] <= '9';
}
}  // namespace

bool port_name_acceptable(const std::string& port, std::string& why) {
  if (com_name(port)) return true;
  why = "a port is COM1 to COM9 (renumber an adapter in Device Manager): " + port;
  return false;
}

PortIdentity port_identity(const std::string& port) {
  PortIdentity identity;
  identity.device = "COM" + port.substr(3);
  return identity;
}

std::string port_presence(const std::string& port) {
  // The device a COM name leads to, as Windows maps it (\\Device\\Serial0, ...).
  char target[512];
  std::string name = "COM" + port.substr(3);
  if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return "";
  return target;
}

bool port_bind(const std::string& port, const std::string&, std::string& port_number, std::string&) {
  port_number = port.substr(3);
  return true;
}

// The tool says the name it was given with -c, which is the slot's in upper case.
std::string port_bound_name(const std::string& port) { return "COM" + port.substr(3); }

}  // namespace xarveld::station
