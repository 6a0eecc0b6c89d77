#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <memory>

#include "station/sha256.hpp"

namespace xarveld::station {

namespace {
BCRYPT_ALG_HANDLE algorithm() {
  static BCRYPT_ALG_HANDLE handle = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return opened;
  }();
  return handle;
}
}  // namespace

std::string sha256_hex(const void* data, std::size_t size) {
  unsigned char digest[32] = {};
  BCryptHash(algorithm(), nullptr, 0, static_cast<PUCHAR>(const_cast<void*>(data)),
             static_cast<ULONG>(size), digest, sizeof digest);
  return digest_hex(digest);
}

int sha256_file_hex(const std::string& path, std::string& hex) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbN"), std::fclose);
  if (!file) return 0;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(algorithm(), &hash, nullptr, 0, nullptr, 0, 0) != 0) return 0;
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    BCryptHashData(hash, chunk, static_cast<ULONG>(got), 0);
  }
  unsigned char digest[32] = {};
  BCryptFinishHash(hash, digest, sizeof digest, 0);
  BCryptDestroyHash(hash);
  if (std::ferror(file.get())) return 0;
  hex = digest_hex(digest);
  return 1;
}

}  // namespace xarveld::station
