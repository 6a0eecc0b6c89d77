#pragma once
// SHA-256 by the platform's well-kept library: OpenSSL's libcrypto on POSIX, CNG on Windows.
// Every call into the library is checked: a digest it failed to make is never taken for one.
// sha256.cpp holds the portable half (the hex, reading a file); sha256_posix.cpp and
// sha256_win32.cpp the library's calls, behind sha256_platform.hpp.
#include <cstddef>
#include <string>

namespace xarveld::station {

// The digest of size bytes as 64 lower-case hex digits in hex. False with the library's reason
// in why.
[[nodiscard]] bool sha256_hex(const void* data, std::size_t size, std::string& hex,
                              std::string& why);

// The digest of a whole file, read in pieces. False with why: the file could not be read, or
// the library refused.
[[nodiscard]] bool sha256_file_hex(const std::string& path, std::string& hex, std::string& why);

}  // namespace xarveld::station
