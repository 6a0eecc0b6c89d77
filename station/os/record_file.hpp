#pragma once
// What the record needs of the system: appending a line that no other writer can tear, and the
// host's name. One source file per platform.
#include <cstdint>
#include <string>

namespace xarveld::station {

// Opens the file at path for appending, creating it when missing, and closes it again: a record
// that cannot be written is found before the first board is burnt. Returns 1, or 0 with the
// system's reason in error.
int record_open(const std::string& path, std::string& error);

// Appends line to the file at path (created if missing) under an exclusive lock on the whole
// file, and flushes it to the disk before the lock is let go: two stations may share the file,
// and a line once reported written survives a power cut. An append that fails part-way (a full
// disk) is cut back to the length the file had, so that every line stays whole; a file whose
// last line was torn all the same (a crash) gets this line on a line of its own. Returns 1, or 0
// with the system's reason in error.
int record_append(const std::string& path, const std::string& line, std::string& error);

std::string host_name();
std::int64_t process_id();

}  // namespace xarveld::station
