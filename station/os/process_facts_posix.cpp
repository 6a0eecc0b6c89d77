// Linux keeps a process's facts in /proc; elsewhere (none of the station's platforms) they are
// left out rather than guessed.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "station/os/process_facts.hpp"

namespace xarveld::station {

namespace {

// Read without exceptions: what /proc gives is digits.
double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The fields of /proc/self/stat after the command's name, which may hold spaces and parentheses
// of its own: the first after the last ')' is field 3, the state.
std::vector<std::string> stat_fields() {
  std::ifstream file("/proc/self/stat");
  std::string line;
  std::getline(file, line);
  std::size_t close = line.rfind(')');
  std::vector<std::string> fields;
  if (close == std::string::npos) return fields;
  std::istringstream rest(line.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// The boot's time in seconds since 1970, which a process's start in ticks counts from.
std::optional<double> boot_unix_seconds() {
  std::ifstream file("/proc/stat");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("btime ", 0) == 0) return number(line.substr(6));
  }
  return std::nullopt;
}

}  // namespace

ProcessFacts process_facts() {
  ProcessFacts facts;
  long ticks = sysconf(_SC_CLK_TCK);
  std::vector<std::string> fields = stat_fields();
  // Fields 14 and 15 (user, system time) and 22 (start, since boot), counted from field 3.
  if (fields.size() > 19 && ticks > 0) {
    facts.cpu_seconds = (number(fields[11]) + number(fields[12])) / ticks;
    std::optional<double> boot = boot_unix_seconds();
    if (boot) facts.start_unix_seconds = *boot + number(fields[19]) / ticks;
  }
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  if (statm >> size >> resident) {
    facts.resident_bytes = resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  }
  if (DIR* fds = opendir("/proc/self/fd")) {
    std::uint64_t count = 0;
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(fds);
    // Less the one that read the directory, open only while it did.
    if (count > 0) facts.open_files = count - 1;
  }
  return facts;
}

}  // namespace xarveld::station
