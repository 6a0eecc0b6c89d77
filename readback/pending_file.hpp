#pragma once
// The output file, which appears under its name only whole: written to a temporary file in the
// same directory (made exclusively, never through a link, readable by this user alone), flushed
// to disk, then renamed. Whatever ends the process before that removes the temporary file (it is
// registered with at_process_end), so a failure or an interrupt leaves nothing behind.
// One source file per platform.
#include <cstddef>
#include <cstdint>
#include <string>

namespace xarveld {

bool path_exists(const std::string& path);

// Creates the temporary file beside final_path. Returns true, or false with error set.
bool pending_create(const std::string& final_path, std::string& error);

// Writes all the bytes, flushes them to disk, gives the file the usual permissions and renames it
// to final_path; without replace an existing final_path is left as it is and this fails.
bool pending_commit(const std::uint8_t* bytes, std::size_t length, bool replace,
                    std::string& error);

// Closes and removes the temporary file, if one is left.
void pending_discard();

}  // namespace xarveld
