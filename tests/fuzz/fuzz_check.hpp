#pragma once
// The fuzz targets' property check. It stays on in every build type (unlike assert, which
// NDEBUG removes) and aborts, so libFuzzer keeps the input that broke the property.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
