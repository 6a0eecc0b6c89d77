#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace {
// The library's own reason, from its error queue, which is then left empty for the next call.
int library_failed(const char* call, std::string& error) {
  unsigned long code = ERR_peek_last_error();
  char reason[256] = "no reason given";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  error = std::string("libcrypto ") + call + " failed: " + reason;
  return SHA256_LIBRARY_FAILED;
}
}  // namespace

int sha256_hex(const void* data, std::size_t size, std::string& hex, std::string& error) {
  ERR_clear_error();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
    return library_failed("EVP_Digest", error);
  hex = digest_hex(digest);
  return SHA256_DONE;
}

int sha256_file_hex(const std::string& path, std::string& hex, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"), std::fclose);
  if (!file) {
    error = std::strerror(errno);
    return SHA256_UNREADABLE;
  }
  ERR_clear_error();
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context) return library_failed("EVP_MD_CTX_new", error);
  if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return library_failed("EVP_DigestInit_ex", error);
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (EVP_DigestUpdate(context.get(), chunk, got) != 1)
      return library_failed("EVP_DigestUpdate", error);
  }
  if (std::ferror(file.get())) {
    error = std::strerror(errno);
    return SHA256_UNREADABLE;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != 32)
    return library_failed("EVP_DigestFinal_ex", error);
  hex = digest_hex(digest);
  return SHA256_DONE;
}

}  // namespace xarveld::station
