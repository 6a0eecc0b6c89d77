#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "station/os/host.hpp"

namespace xarveld::station {

namespace {

bool pid_in_range(std::int64_t pid) {
  return pid > 0 && pid <= std::numeric_limits<pid_t>::max();
}

std::string first_line_of(const char* path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The state letter and the start time (fields 3 and 22) of /proc/PID/stat. The command name
// (field 2) may hold spaces and parentheses: the fields are counted after its last ')'.
bool read_stat(std::int64_t pid, char& state, std::int64_t& start) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(file, stat)) return false;
  std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return false;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int number = 3; number <= 22 && fields >> field; ++number) {
    if (number == 3) state = field.empty() ? '?' : field[0];
    if (number == 22) {
      start = std::strtoll(field.c_str(), nullptr, 10);
      return true;
    }
  }
  return false;
}

}  // namespace

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::int64_t process_id() { return getpid(); }

bool process_gone(std::int64_t pid) {
  return pid_in_range(pid) && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::string machine_identity() {
  std::string boot = first_line_of("/proc/sys/kernel/random/boot_id");
  char pid_namespace[64] = {};
  ssize_t length = readlink("/proc/self/ns/pid", pid_namespace, sizeof pid_namespace - 1);
  if (boot.empty() || length <= 0) return "";
  return first_line_of("/etc/machine-id") + " " + boot + " " +
         std::string(pid_namespace, static_cast<std::size_t>(length));
}

std::int64_t process_start_time(std::int64_t pid) {
  char state = 0;
  std::int64_t start = 0;
  return pid_in_range(pid) && read_stat(pid, state, start) ? start : 0;
}

bool process_ended(std::int64_t pid, std::int64_t start_time) {
  if (!pid_in_range(pid)) return false;
  char state = 0;
  std::int64_t start = 0;
  if (!read_stat(pid, state, start)) return process_gone(pid);  // no /proc: by the pid alone
  return state == 'Z' || state == 'X' || (start_time != 0 && start != start_time);
}

}  // namespace xarveld::station
