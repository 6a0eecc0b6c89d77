#pragma once
// The wire log: one line per frame received or sent, for tests and people to read afterwards.
//   <ms since start, %.3f> <rx|tx> <raw|yenc> <words as %04x, single spaces>
//   <ms since start, %.3f> <rx|tx> junk <bytes as %02x, single spaces>
//   <ms since start, %.3f> rx lost <words as %04x, single spaces>
// A transmitted packet is logged as it went out, a corrupted checksum included; "tx junk" is the
// line sent in place of an answer by --garbage; "rx lost" a command chaos lost on its way in.
#include <cstdio>
#include <string>

#include "sim/loader.hpp"

namespace xarveld::sim {

// The line for one record, with its line feed.
std::string wire_line(double milliseconds, const WireRecord& record);

struct WireLog {
  std::FILE* file = nullptr;
  bool unflushed = false;
};

// Returns 1 when the file could be created.
int wire_log_open(WireLog& log, const std::string& path);
// Does nothing while the log is not open.
void wire_log_write(WireLog& log, double milliseconds, const WireRecord& record);
void wire_log_flush(WireLog& log);
void wire_log_close(WireLog& log);

}  // namespace xarveld::sim
