#include "station/os/sha256.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "station/os/files.hpp"
#include "station/os/sha256_platform.hpp"

namespace xarveld::station {

namespace {
std::string digest_hex(const unsigned char (&digest)[SHA256_BYTES]) {
  static const char HEX[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += HEX[byte >> 4];
    hex += HEX[byte & 0x0f];
  }
  return hex;
}
}  // namespace

bool sha256_hex(const void* data, std::size_t size, std::string& hex, std::string& why) {
  unsigned char digest[SHA256_BYTES];
  if (!sha256_digest(data, size, digest, why)) return false;
  hex = digest_hex(digest);
  return true;
}

bool sha256_file_hex(const std::string& path, std::string& hex, std::string& why) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(file_open_unshared(path, "rb"), std::fclose);
  if (!file) {
    why = std::strerror(errno);
    return false;
  }
  std::unique_ptr<Sha256Context, void (*)(Sha256Context*)> context(sha256_context_new(why),
                                                                    sha256_context_free);
  if (!context) return false;
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (!sha256_context_add(context.get(), chunk, got, why)) return false;
  }
  if (std::ferror(file.get())) {
    why = std::strerror(errno);
    return false;
  }
  unsigned char digest[SHA256_BYTES];
  if (!sha256_context_finish(context.get(), digest, why)) return false;
  hex = digest_hex(digest);
  return true;
}

}  // namespace xarveld::station
