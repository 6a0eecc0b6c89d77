#pragma once
// The simulator's command line, turned into settings by a pure function.
#include <cstdint>
#include <string>
#include <vector>

#include "sim/faults.hpp"
#include "sim/loader.hpp"

namespace xarveld::sim {

// A device that starts holding a file's bytes from offset 0, as a board burnt elsewhere does.
struct DeviceLoad {
  std::uint16_t device = 0;
  std::string path;
};

struct SimOptions {
  std::string directory = ".";  // where COMn is published
  int port = 1;
  bool serve_forever = false;
  bool yenc_only = false;
  std::string dump_directory;  // empty: no dumps
  std::string wire_path;       // empty: no wire log
  std::uint32_t pace_baud = 0;  // 0: as fast as the pseudo-terminal goes
  std::uint32_t latency_ms = 0;  // 0: no USB adapter holding answers back
  std::string banner;            // empty: none; sent with CR LF once the line is up
  LoaderConfig loader;
  std::vector<DeviceLoad> loads;
};

enum class ParseStatus { Run, Help, Error };

struct SimParse {
  ParseStatus status = ParseStatus::Run;
  SimOptions options;
  std::string error;  // for ParseStatus::Error, one line without its line feed
};

// arguments excludes the program name. Options take their value as the next argument or after
// '=' (--port 3, --port=3).
SimParse parse_sim_options(const std::vector<std::string>& arguments);

std::string sim_usage();

}  // namespace xarveld::sim
