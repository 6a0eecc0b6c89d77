// xarveld-read: reads a flash device back through the loader into a file, or compares it with
// one. Standard output carries one result line for scripts; see the manual for its forms.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/interrupt.hpp"
#include "common/process_exit.hpp"
#include "link/connection.hpp"
#include "link/serial_port.hpp"
#include "ops/image.hpp"
#include "ops/program.hpp"
#include "readback/compare.hpp"
#include "readback/device_read.hpp"
#include "readback/intel_hex.hpp"
#include "readback/pending_file.hpp"
#include "readback/read_options.hpp"
#include "readback/report.hpp"
#include "readback/sha256.hpp"
#include "trace/trace_log.hpp"

namespace {
using namespace xarveld;

// As cmp: 1 only for a device that differs, so a script never takes trouble for a difference.
constexpr int EXIT_SAME = 0;
constexpr int EXIT_DIFFERS = 1;
constexpr int EXIT_TROUBLE = 2;

[[noreturn]] void trouble() { end_process(EXIT_TROUBLE); }

bool ends_with_hex(const std::string& name) {
  return name.size() >= 4 && (name.compare(name.size() - 4, 4, ".hex") == 0 ||
                              name.compare(name.size() - 4, 4, ".HEX") == 0);
}

std::vector<std::uint8_t> load_expected(const std::string& path, std::uint32_t start) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    report_trouble("cannot open %s: %s", path.c_str(), std::strerror(errno));
    trouble();
  }
  std::vector<std::uint8_t> bytes(IMAGE_CAPACITY + 1);
  std::size_t count = std::fread(bytes.data(), 1, bytes.size(), file);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || count == 0 || start + count > IMAGE_CAPACITY) {
    report_trouble("%s: %s", path.c_str(),
                   failed ? "cannot be read"
                          : count == 0 ? "is empty" : "runs past the device's 8 MiB from --start");
    trouble();
  }
  bytes.resize(count);
  return bytes;
}

// The driver as the tool loads it, or, without one, a ping in raw framing with the short
// time-out: a board that is off fails in seconds, not after the first read's long wait.
void reach_loader(const ReadOptions& options) {
  if (options.load_driver) {
    if (program_image(options.driver_file, DRIVER_DEVICE) != 0) {
      report_trouble("unable to load the driver %s", options.driver_file.c_str());
      trouble();
    }
    return;
  }
  if (!ping_loader()) {
    report_trouble("no answer from the loader on %s in raw framing: check that the board is "
                   "powered and its loader running, the cable, and -b; a loader already in yEnc "
                   "framing needs -l", serial_port_description().c_str());
    trouble();
  }
}

void let_go() {
  disconnect_target();
  trace_close();
  serial_close();
}

void print_range(const char* word, int device, std::uint32_t start, std::uint32_t length) {
  std::printf("%s device=%d start=0x%06x end=0x%06x bytes=%u", word, device, start,
              start + length, length);
}

int read_to_file(const ReadOptions& options) {
  DeviceRange range = covering_range(options.device, options.start, options.length);
  std::vector<std::uint8_t> bytes;
  progress_start(range.end - range.first);
  if (read_range_confirmed(range, bytes) != 0) trouble();
  progress_end();
  const std::uint8_t* asked = bytes.data() + (options.start - range.first);
  std::string content;
  if (ends_with_hex(options.out)) content = intel_hex(asked, options.length, options.start);
  std::string error;
  bool written = content.empty()
                     ? pending_commit(asked, options.length, options.force, error)
                     : pending_commit(reinterpret_cast<const std::uint8_t*>(content.data()),
                                      content.size(), options.force, error);
  if (!written) {
    report_trouble("%s", error.c_str());
    trouble();
  }
  let_go();
  print_range("read", options.device, options.start, options.length);
  std::printf(" sha256=%s\n", sha256_hex(asked, options.length).c_str());
  return EXIT_SAME;
}

int compare_with_file(const ReadOptions& options, const std::vector<std::uint8_t>& expected) {
  Comparison comparison;
  if (compare_device(options.device, options.start, expected, options.exact, comparison) != 0) {
    trouble();
  }
  let_go();
  std::uint32_t length = static_cast<std::uint32_t>(expected.size());
  if (comparison.differing == 0) {
    print_range("same", options.device, options.start, length);
    std::printf(" by=%s\n", options.exact ? "bytes" : "sums");
    return EXIT_SAME;
  }
  print_range("differs", options.device, options.start, length);
  std::printf(" differing=%u ranges=", comparison.differing);
  for (std::size_t i = 0; i < comparison.ranges.size(); ++i) {
    std::printf("%s0x%06x-0x%06x", i == 0 ? "" : ",", comparison.ranges[i].first,
                comparison.ranges[i].last);
  }
  std::printf("\n");
  return EXIT_DIFFERS;
}
}  // namespace

int main(int argc, char** argv) {
  console_init();
  interrupt_install();
  set_trouble_status(EXIT_TROUBLE);
  // The link's own messages are not the result: they go where trouble goes.
  console_set_stream(stderr);
  ReadParse parsed = parse_read_options(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.outcome == ReadParseOutcome::Help) {
    std::fputs(READ_USAGE, stdout);
    end_process(EXIT_SAME);
  }
  if (parsed.outcome == ReadParseOutcome::Error) {
    report_trouble("%s", parsed.message.c_str());
    std::fputs(READ_USAGE, stderr);
    trouble();
  }
  const ReadOptions& options = parsed.options;
  bool comparing = !options.compare_file.empty();
  std::vector<std::uint8_t> expected;
  if (comparing) {
    expected = load_expected(options.compare_file, options.start);
  } else {
    if (!options.force && path_exists(options.out)) {
      report_trouble("%s exists: give --force to replace it", options.out.c_str());
      trouble();
    }
    std::string error;
    if (!pending_create(options.out, error)) {
      report_trouble("%s", error.c_str());
      trouble();
    }
  }
  trace_open();
  serial_open(options.port_name, options.baud_rate);
  reach_loader(options);
  int status = comparing ? compare_with_file(options, expected) : read_to_file(options);
  // The result line before anything else can end the process.
  std::fflush(stdout);
  end_process(status);
}
