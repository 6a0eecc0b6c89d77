#pragma once
// Small things every kind of test needs: whole files as strings, and the usage text as the tool
// prints it.
#include <string>

namespace xarveld::test {

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The usage text with its CR LF line ends, byte for byte.
extern const char* const USAGE_TEXT;

}  // namespace xarveld::test
