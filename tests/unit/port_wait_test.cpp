// The select() way of waiting on the port, which macOS uses, built and run here on Linux, whose
// select() takes sets of any size as macOS's unlimited form does: a port numbered past
// FD_SETSIZE is waited on, and no bit beyond the set is read.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "link/port_wait.hpp"

namespace xarveld {
namespace {

TEST(PortWaitSelect, ADescriptorPastTheSetLimitIsWaitedOn) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int high = FD_SETSIZE + 900;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(high + 1)) {
    GTEST_SKIP() << "descriptors are limited to " << limit.rlim_max;
  }
  limit.rlim_cur = static_cast<rlim_t>(high + 2);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(dup2(ends[0], high), high);
  ASSERT_EQ(dup2(ends[1], high + 1), high + 1);
  EXPECT_EQ(port_wait(high, false, 10), PORT_QUIET);
  EXPECT_EQ(port_wait(high + 1, true, 10), PORT_READY);
  ASSERT_EQ(write(high + 1, "x", 1), 1);
  EXPECT_EQ(port_wait(high, false, 10), PORT_READY);
  for (int fd : {ends[0], ends[1], high, high + 1}) close(fd);
}

}  // namespace
}  // namespace xarveld
