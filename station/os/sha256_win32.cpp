#include <windows.h>

#include <bcrypt.h>

#include <cstdio>

#include "station/os/sha256_platform.hpp"

namespace xarveld::station {

struct Sha256Context {
  BCRYPT_HASH_HANDLE hash = nullptr;
};

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

bool library_failed(const char* call, NTSTATUS status, std::string& why) {
  char text[96];
  std::snprintf(text, sizeof text, "CNG %s failed: status 0x%08lx", call,
                static_cast<unsigned long>(status));
  why = text;
  return false;
}
}  // namespace

bool sha256_digest(const void* data, std::size_t size, unsigned char (&digest)[SHA256_BYTES],
                   std::string& why) {
  const Provider& sha256 = provider();
  if (!BCRYPT_SUCCESS(sha256.status))
    return library_failed("BCryptOpenAlgorithmProvider", sha256.status, why);
  NTSTATUS status = BCryptHash(sha256.handle, nullptr, 0,
                               static_cast<PUCHAR>(const_cast<void*>(data)),
                               static_cast<ULONG>(size), digest, SHA256_BYTES);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptHash", status, why);
  return true;
}

Sha256Context* sha256_context_new(std::string& why) {
  const Provider& sha256 = provider();
  if (!BCRYPT_SUCCESS(sha256.status)) {
    library_failed("BCryptOpenAlgorithmProvider", sha256.status, why);
    return nullptr;
  }
  auto* context = new Sha256Context;
  NTSTATUS status = BCryptCreateHash(sha256.handle, &context->hash, nullptr, 0, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) {
    delete context;
    library_failed("BCryptCreateHash", status, why);
    return nullptr;
  }
  return context;
}

bool sha256_context_add(Sha256Context* context, const void* data, std::size_t size,
                        std::string& why) {
  NTSTATUS status = BCryptHashData(context->hash, static_cast<PUCHAR>(const_cast<void*>(data)),
                                   static_cast<ULONG>(size), 0);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptHashData", status, why);
  return true;
}

bool sha256_context_finish(Sha256Context* context, unsigned char (&digest)[SHA256_BYTES],
                           std::string& why) {
  NTSTATUS status = BCryptFinishHash(context->hash, digest, SHA256_BYTES, 0);
  if (!BCRYPT_SUCCESS(status)) return library_failed("BCryptFinishHash", status, why);
  return true;
}

void sha256_context_free(Sha256Context* context) {
  if (context == nullptr) return;
  if (context->hash != nullptr) BCryptDestroyHash(context->hash);
  delete context;
}

}  // namespace xarveld::station
