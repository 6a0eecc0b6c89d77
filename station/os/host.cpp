#include "station/os/host.hpp"

#include <cstdio>
#include <random>

namespace xarveld::station {

std::string random_id() {
  std::random_device source;
  std::string id;
  char word[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(source()));
    id += word;
  }
  return id;
}

}  // namespace xarveld::station
