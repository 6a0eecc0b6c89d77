#pragma once
// SHA-256 by the platform's well-kept library: OpenSSL's libcrypto on POSIX, CNG on Windows.
// Every call into the library is checked: a digest it failed to make is never taken for one.
// One source file per platform.
#include <cstddef>
#include <string>

namespace xarveld::station {

constexpr int SHA256_DONE = 1;
constexpr int SHA256_UNREADABLE = 0;       // the file could not be read
constexpr int SHA256_LIBRARY_FAILED = -1;  // the hash library refused

// The digest of size bytes as 64 lower-case hex digits in hex. Returns SHA256_DONE, or
// SHA256_LIBRARY_FAILED with the library's reason in error.
int sha256_hex(const void* data, std::size_t size, std::string& hex, std::string& error);

// The digest of a whole file, read in pieces. Returns SHA256_DONE, or one of the failures with
// its reason in error.
int sha256_file_hex(const std::string& path, std::string& hex, std::string& error);

// 32 bytes of digest as lower-case hex.
std::string digest_hex(const unsigned char* digest);

}  // namespace xarveld::station
