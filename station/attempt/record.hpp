#pragma once
// One attempt as a line of station-record.jsonl: what was burnt where, with what result, and
// where its evidence lies. Built here, a pure function; appended by record_file.
#include <cstdint>
#include <string>
#include <vector>

#include "station/os/files.hpp"

namespace xarveld::station {

struct AttemptRecord {
  std::string host;
  std::string station_version;
  std::string slot;
  std::string port;         // as given
  std::string port_device;  // the device it resolved to (POSIX), or the name itself
  std::string port_by_id;   // its /dev/serial/by-id name, empty when none leads to it
  std::vector<std::string> tool_arguments;  // as given to the station
  std::vector<std::string> tool_command;    // as the run got them
  std::vector<ImageFacts> images;
  int board = 0;    // the slot's n-th board
  int attempt = 0;  // the board's n-th attempt
  std::int64_t start_unix_ms = 0;
  std::int64_t end_unix_ms = 0;
  std::int64_t exit_status = -1;  // 128 + signal for a run ended by one; on Windows the exit code
  std::string result;    // PASS, FAIL, TIMEOUT or ABORTED
  std::string last_line;
  std::string reason;      // of a failure, in the tool's words; empty when it gave none
  std::string reason_code;  // why it failed, one code of a closed set; empty when it passed
  std::string directory;   // the attempt's directory, as the station names it
  std::string log_sha256;  // of its log.txt, empty when the run left none
  std::string attempt_id;  // unique, also in the ledger
  bool has_serial = false;
  std::uint64_t serial = 0;        // the board's number, as burnt
  std::string image_sha256_burnt;  // of the image with the number in place
  std::string ledger_error;        // why the ledger did not take the attempt at its end
  std::string backup_sha256;       // --backup: of before.bin, what the board held
};

// The record as one JSON object and a line feed. Bytes that are not UTF-8 (in a file name, in
// what the tool printed) are replaced, never a reason to lose the line.
std::string record_json_line(const AttemptRecord& record);

}  // namespace xarveld::station
