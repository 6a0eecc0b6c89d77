#pragma once
// One end-to-end case of the station: a fresh directory holding a driver and an image, real
// xarveld-sim processes each publishing COM1 in a directory of its own, and the real station
// running the real tool on them as child processes, its default ledger (XARVELD_LEDGER)
// station-ledger.sqlite in that directory.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tests/e2e/support/child_process.hpp"

namespace xarveld::station_test {

using e2e::Background;
using e2e::Finished;

struct Station {
  pid_t pid = -1;
  int input_fd = -1;   // its standard input, for Enter
  int output_fd = -1;  // its standard output: a pipe, or a pseudo-terminal's master
};

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string path(const std::string& name) const { return dir + "/" + name; }

  // Starts xarveld-sim in sims/NAME with these options, dumping into sims/NAME/dump; returns
  // the port it published once it listens.
  std::string start_sim(const std::string& name, const std::vector<std::string>& options = {});
  // Ends the simulators still running (their dumps are written then).
  void stop_sims();

  // The station's command line: the launcher, the station and --tool, then arguments.
  std::vector<std::string> station_command(const std::vector<std::string>& arguments) const;
  std::string reachable_copy(const std::string& file) const;
  Finished run_station(const std::vector<std::string>& arguments, double timeout_seconds = 120);
  // Started in the background with standard input a pipe; standard output a pipe, or the slave
  // of a new pseudo-terminal of columns when on_terminal.
  Station start_station(const std::vector<std::string>& arguments, bool on_terminal = false,
                        int columns = 100);
  // Adds what the station has written so far to output, without waiting.
  void read_output(Station& station, std::string& output);
  // Reads the station's output until it closes or timeout_seconds pass, and its exit status.
  int finish_station(Station& station, std::string& output, double timeout_seconds);

  // The lines of station-record.jsonl, each parsed; a line that is not whole JSON fails the case.
  std::vector<nlohmann::json> records();
  // The records of one slot, in the order written.
  std::vector<nlohmann::json> records_of(const std::string& slot);

  std::string dir;
  std::string driver;  // 8 KiB
  std::string image;   // 32 KiB
  std::vector<std::string> launcher;  // what the station is started through: prlimit, setpriv

 private:
  std::vector<Background> sims;
  std::vector<Station> stations;
};

std::string sha256_of(const std::string& bytes);
std::string read_text(const std::string& path);
bool wait_for(const std::function<bool()>& condition, double seconds);

}  // namespace xarveld::station_test
