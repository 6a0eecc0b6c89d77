#include "tests/support/files.hpp"

#include <fstream>
#include <sstream>

namespace xarveld::test {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

const char* const USAGE_TEXT =
    "Usage: XARVELD [-c COM#] [-l sramFile.bin] [-d device#] [-b baudRate] [-p] [-v] "
    "deviceFile.bin\r\n\r\n"
    "Options:\r\n"
    "\t-c COM#\t\tCOM port number to use for serial connnection (1-9)\r\n"
    "\t-l sramFile\tLoad drivers into SRAM from filename\r\n"
    "\t-d device#\tFlash memory device number (1-7)\r\n"
    "\t-b baudRate\tBaud rate can be 19200, 57600 or 115200 (bps)\r\n"
    "\t-p        \tProgram the specified device\r\n"
    "\t-v        \tVerify the specified device\r\n";

}  // namespace xarveld::test
