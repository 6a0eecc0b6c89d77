#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "station/sha256.hpp"

namespace xarveld::station {

std::string sha256_hex(const void* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
  return digest_hex(digest);
}

int sha256_file_hex(const std::string& path, std::string& hex) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbe"), std::fclose);
  if (!file) return 0;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return 0;
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    EVP_DigestUpdate(context.get(), chunk, got);
  }
  if (std::ferror(file.get())) return 0;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  hex = digest_hex(digest);
  return 1;
}

}  // namespace xarveld::station
