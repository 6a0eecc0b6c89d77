#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>

#include "station/os/sha256_platform.hpp"

namespace xarveld::station {

struct Sha256Context {
  EVP_MD_CTX* md = nullptr;
};

namespace {
// The library's own reason, from its error queue, which is then left empty for the next call.
bool library_failed(const char* call, std::string& why) {
  unsigned long code = ERR_peek_last_error();
  char reason[256] = "no reason given";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  why = std::string("libcrypto ") + call + " failed: " + reason;
  return false;
}
}  // namespace

bool sha256_digest(const void* data, std::size_t size, unsigned char (&digest)[SHA256_BYTES],
                   std::string& why) {
  ERR_clear_error();
  unsigned char made[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, made, &length, EVP_sha256(), nullptr) != 1 || length != SHA256_BYTES)
    return library_failed("EVP_Digest", why);
  std::copy(made, made + SHA256_BYTES, digest);
  return true;
}

Sha256Context* sha256_context_new(std::string& why) {
  ERR_clear_error();
  auto* context = new Sha256Context{EVP_MD_CTX_new()};
  if (context->md == nullptr) {
    sha256_context_free(context);
    library_failed("EVP_MD_CTX_new", why);
    return nullptr;
  }
  if (EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr) != 1) {
    sha256_context_free(context);
    library_failed("EVP_DigestInit_ex", why);
    return nullptr;
  }
  return context;
}

bool sha256_context_add(Sha256Context* context, const void* data, std::size_t size,
                        std::string& why) {
  if (EVP_DigestUpdate(context->md, data, size) != 1) return library_failed("EVP_DigestUpdate", why);
  return true;
}

bool sha256_context_finish(Sha256Context* context, unsigned char (&digest)[SHA256_BYTES],
                           std::string& why) {
  unsigned char made[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context->md, made, &length) != 1 || length != SHA256_BYTES)
    return library_failed("EVP_DigestFinal_ex", why);
  std::copy(made, made + SHA256_BYTES, digest);
  return true;
}

void sha256_context_free(Sha256Context* context) {
  if (context == nullptr) return;
  EVP_MD_CTX_free(context->md);
  delete context;
}

}  // namespace xarveld::station
