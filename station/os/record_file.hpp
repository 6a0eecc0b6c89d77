#pragma once
// What the record needs of the system: appending a line that no other writer can tear. One
// source file per platform.
#include <string>

namespace xarveld::station {

// Opens the file at path for appending, creating it when missing, and closes it again: a record
// that cannot be written is found before the first board is burnt. False with the system's
// reason in why.
[[nodiscard]] bool record_open(const std::string& path, std::string& why);

// Appends line to the file at path (created if missing) under an exclusive lock on the whole
// file, and flushes it to the disk before the lock is let go: two stations may share the file,
// and a line once reported written survives a power cut. An append that fails part-way (a full
// disk) is cut back to the length the file had, so that every line stays whole; a file whose
// last line was torn all the same (a crash) gets this line on a line of its own. False with the
// system's reason in why.
[[nodiscard]] bool record_append(const std::string& path, const std::string& line,
                                 std::string& why);

}  // namespace xarveld::station
