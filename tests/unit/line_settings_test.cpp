#include <termios.h>

#include <gtest/gtest.h>

#include "link/line_settings_posix.hpp"

namespace xarveld {
namespace {

// A port's driver may keep some of what it was asked for and still report success; each of these
// read-backs is a port that cannot carry the loader's protocol.
TEST(LineSettings, ReadBackThatDiffersInWhatTheLoaderNeedsIsRefused) {
  const termios asked = line_settings_for(57600);
  EXPECT_TRUE(line_settings_took(asked, asked));
  termios extra = asked;
  extra.c_cflag |= HUPCL;  // nothing the loader cares about
  extra.c_iflag |= IGNBRK;
  EXPECT_TRUE(line_settings_took(asked, extra));

  struct Change {
    const char* what;
    void (*apply)(termios&);
  };
  const Change changes[] = {
      {"input speed", [](termios& t) { cfsetispeed(&t, B9600); }},
      {"output speed", [](termios& t) { cfsetospeed(&t, B115200); }},
      {"seven data bits", [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }},
      {"parity", [](termios& t) { t.c_cflag |= PARENB; }},
      {"two stop bits", [](termios& t) { t.c_cflag |= CSTOPB; }},
      {"RTS/CTS", [](termios& t) { t.c_cflag |= CRTSCTS; }},
      {"XON/XOFF out", [](termios& t) { t.c_iflag |= IXON; }},
      {"XON/XOFF in", [](termios& t) { t.c_iflag |= IXOFF; }},
  };
  for (const Change& change : changes) {
    termios read_back = asked;
    change.apply(read_back);
    EXPECT_FALSE(line_settings_took(asked, read_back)) << change.what;
  }
}

}  // namespace
}  // namespace xarveld
