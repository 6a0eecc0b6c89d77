// Loaded into the tool with LD_PRELOAD: tcgetattr reports 9600 baud whatever was set, as a driver
// that quietly keeps a speed of its own would. A pseudo-terminal takes every setting, so without
// this the tool's refusal of such a port is never reached.
#include <dlfcn.h>
#include <termios.h>

extern "C" int tcgetattr(int fd, termios* settings) {
  using Real = int (*)(int, termios*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
  int result = real(fd, settings);
  if (result == 0) {
    cfsetispeed(settings, B9600);
    cfsetospeed(settings, B9600);
  }
  return result;
}
