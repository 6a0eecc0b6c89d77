#pragma once
// What each platform's hash library does for sha256.cpp, in sha256_posix.cpp (libcrypto) and
// sha256_win32.cpp (CNG). Each call is checked, and a failure says which call and why.
#include <cstddef>
#include <string>

namespace xarveld::station {

constexpr std::size_t SHA256_BYTES = 32;

// The digest of size bytes, at once.
[[nodiscard]] bool sha256_digest(const void* data, std::size_t size, unsigned char (&digest)[SHA256_BYTES],
                   std::string& why);

// A digest taken in pieces: made, fed, finished, and freed whatever came of it.
struct Sha256Context;
Sha256Context* sha256_context_new(std::string& why);
[[nodiscard]] bool sha256_context_add(Sha256Context* context, const void* data, std::size_t size,
                        std::string& why);
[[nodiscard]] bool sha256_context_finish(Sha256Context* context, unsigned char (&digest)[SHA256_BYTES],
                           std::string& why);
void sha256_context_free(Sha256Context* context);

}  // namespace xarveld::station
