// The slot's port as the station sees it on POSIX, on real files: what it resolves to, and
// whether it was replaced.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "station/os/port.hpp"

namespace xarveld::station {
namespace {

namespace fs = std::filesystem;

TEST(StationPort, AReplacedPortIsToldFromTheOneThatStayed) {
  char pattern[] = "/tmp/xarveld-port-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern, link = dir + "/COM1";
  EXPECT_EQ(port_presence(link), "");
  fs::create_symlink("/dev/null", link);
  std::string first = port_presence(link);
  EXPECT_NE(first, "");
  EXPECT_EQ(port_presence(link), first);
  EXPECT_EQ(port_identity(link).device, "/dev/null");
  EXPECT_EQ(port_identity(link).by_id, "");
  // Unplugged and plugged in again at once, to the same device.
  fs::remove(link);
  fs::create_symlink("/dev/null", link);
  EXPECT_NE(port_presence(link), first);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace xarveld::station
