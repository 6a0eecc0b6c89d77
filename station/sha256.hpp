#pragma once
// SHA-256 by the platform's well-kept library: OpenSSL's libcrypto on POSIX, CNG on Windows.
// One source file per platform.
#include <cstddef>
#include <string>

namespace xarveld::station {

// The digest of size bytes as 64 lower-case hex digits.
std::string sha256_hex(const void* data, std::size_t size);

// The digest of a whole file, read in pieces. Returns 1, or 0 when it cannot be read.
int sha256_file_hex(const std::string& path, std::string& hex);

// 32 bytes of digest as lower-case hex.
std::string digest_hex(const unsigned char* digest);

}  // namespace xarveld::station
