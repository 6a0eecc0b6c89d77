#pragma once
// What the record needs of the system: appending a line that no other writer can tear, and the
// host's name. One source file per platform.
#include <string>

namespace xarveld::station {

// Appends line to the file at path (created if missing) in one write, under an exclusive lock
// on the whole file, and flushes it to the disk before the lock is let go: two stations may
// share the file, and a line once reported written survives a power cut. Returns 1, or 0 with
// the system's reason in error.
int record_append(const std::string& path, const std::string& line, std::string& error);

std::string host_name();

}  // namespace xarveld::station
