#include <windows.h>

#include <bcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace {
struct Provider {
  BCRYPT_ALG_HANDLE handle = nullptr;
  NTSTATUS status = 0;
};

// Opened once; when it could not be, every digest fails with the reason it gave.
const Provider& provider() {
  static const Provider opened = [] {
    Provider p;
    p.status = BCryptOpenAlgorithmProvider(&p.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return p;
  }();
  return opened;
}

int library_failed(const char* call, NTSTATUS status, std::string& error) {
  char text[96];
  std::snprintf(text, sizeof text, "CNG %s failed: status 0x%08lx", call,
                static_cast<unsigned long>(status));
  error = text;
  return SHA256_LIBRARY_FAILED;
}
}  // namespace

int sha256_hex(const void* data, std::size_t size, std::string& hex, std::string& error) {
  const Provider& sha256 = provider();
  if (!BCRYPT_SUCCESS(sha256.status))
    return library_failed("BCryptOpenAlgorithmProvider", sha256.status, error);
  unsigned char digest[32] = {};
  NTSTATUS status = BCryptHash(sha256.handle, nullptr, 0,
                               static_cast<PUCHAR>(const_cast<void*>(data)),
                               static_cast<ULONG>(size), digest, sizeof digest);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptHash", status, error);
  hex = digest_hex(digest);
  return SHA256_DONE;
}

int sha256_file_hex(const std::string& path, std::string& hex, std::string& error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rbN"), std::fclose);
  if (!file) {
    error = std::strerror(errno);
    return SHA256_UNREADABLE;
  }
  const Provider& sha256 = provider();
  if (!BCRYPT_SUCCESS(sha256.status))
    return library_failed("BCryptOpenAlgorithmProvider", sha256.status, error);
  BCRYPT_HASH_HANDLE created = nullptr;
  NTSTATUS status = BCryptCreateHash(sha256.handle, &created, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptCreateHash", status, error);
  std::unique_ptr<void, decltype(&BCryptDestroyHash)> hash(created, BCryptDestroyHash);
  unsigned char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    status = BCryptHashData(hash.get(), chunk, static_cast<ULONG>(got), 0);
    if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptHashData", status, error);
  }
  if (std::ferror(file.get())) {
    error = std::strerror(errno);
    return SHA256_UNREADABLE;
  }
  unsigned char digest[32] = {};
  status = BCryptFinishHash(hash.get(), digest, sizeof digest, 0);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptFinishHash", status, error);
  hex = digest_hex(digest);
  return SHA256_DONE;
}

}  // namespace xarveld::station
