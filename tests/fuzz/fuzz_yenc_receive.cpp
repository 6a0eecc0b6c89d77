// receive_packet over the scripted port, mostly in yEnc framing, checked against a model of the
// accumulator and of the trace records each completed line leaves in log.txt.
// Input: a list of steps, each opened by one byte:
//   0xFC        a failed read
//   0xFD piece  a draining read (no response buffer) that returns the piece
//   0xFE        a change of LinkMode (yEnc <-> raw): the accumulator carries over
//   other       that byte opens a piece (pieces.hpp) returned by one read into the response buffer
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/console.hpp"
#include "link/framing.hpp"
#include "link/packet.hpp"
#include "link/receive.hpp"
#include "link/serial_port.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/fuzz/pieces.hpp"
#include "tests/support/fake_link.hpp"
#include "trace/trace_log.hpp"

namespace {

using namespace xarveld;
using fuzz::Bytes;

constexpr std::uint8_t STEP_FAILED_READ = 0xFC;
constexpr std::uint8_t STEP_DRAIN = 0xFD;
constexpr std::uint8_t STEP_SWITCH_MODE = 0xFE;

std::string scratch_dir;
std::string home_dir;

// log.txt goes to the working directory. The fuzzer's own paths (corpus, artifacts) may be
// relative, so the scratch directory is the working directory only while an input runs.
struct InScratchDir {
  InScratchDir() { FUZZ_CHECK(chdir(scratch_dir.c_str()) == 0); }
  ~InScratchDir() { FUZZ_CHECK(chdir(home_dir.c_str()) == 0); }
};

void remove_scratch_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(scratch_dir, ignored);
}

// Every line feed as CR LF, as the trace log writes it.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// The yEnc rule, undone: '=' takes the next byte less 64, then 42 is taken off. An escape in the
// last counted position pairs with the byte that follows, as the receive path allows.
Bytes decode(const Bytes& line, std::size_t first, std::size_t counted) {
  Bytes out;
  for (std::size_t i = first; i < first + counted; ++i) {
    std::uint8_t c = line[i];
    if (c == '=') c = static_cast<std::uint8_t>(line[++i] - 64);
    out.push_back(static_cast<std::uint8_t>(c - 42));
  }
  return out;
}

struct Model {
  LinkMode mode = LinkMode::YEnc;
  Bytes accumulated;
  std::string log;
  std::string console;
};

void append_kept(Model& model, std::uint8_t b) {
  if (model.accumulated.size() < RECEIVE_ACCUMULATOR_SIZE) model.accumulated.push_back(b);
}

// What one raw read should give.
int expect_raw(Model& model, const Bytes& piece, Packet& expected) {
  for (std::uint8_t b : piece) append_kept(model, b);
  const Bytes& a = model.accumulated;
  if (a.size() < 2) return RECEIVE_PENDING;
  std::size_t words = static_cast<std::size_t>(a[1] >> 4) + 3;
  if (a.size() < 2 * words) return RECEIVE_PENDING;
  for (std::size_t i = 0; i < words; ++i) {
    expected[i] = static_cast<std::uint16_t>(a[2 * i] | a[2 * i + 1] << 8);
  }
  model.accumulated.clear();
  return RECEIVE_COMPLETE;
}

// What one yEnc read should give, and the records its completed line adds to the log.
int expect_yenc(Model& model, const Bytes& piece, Packet& expected) {
  for (std::uint8_t b : piece) {
    append_kept(model, b);
    if (b != '\r') continue;

    Bytes line = model.accumulated;
    model.accumulated.clear();
    // The record shows the line as stored, up to its first zero byte.
    std::string text(line.begin(), line.end());
    text = crlf(text.substr(0, text.find('\0')));
    if (line[0] != '=') {
      model.log += "Invalid response. " + text + "\r\n";
      return RECEIVE_INVALID_LINE;
    }
    model.log += "\r\nMessage: " + text;
    if (line.size() < 2 || line[1] != 'G') {
      model.log += "Invalid response channel. " + text + "\r\n";
      return RECEIVE_INVALID_LINE;
    }
    // The body: all stored bytes but the prefix and the last one (normally the CR).
    Bytes decoded = decode(line, 2, line.size() >= 3 ? line.size() - 3 : 0);
    if (decoded.size() < 2) return RECEIVE_INVALID_LINE;
    std::size_t words = static_cast<std::size_t>(decoded[1] >> 4) + 3;
    if (decoded.size() < 2 * words) return RECEIVE_INVALID_LINE;
    for (std::size_t i = 0; i < words; ++i) {
      expected[i] = static_cast<std::uint16_t>(decoded[2 * i] | decoded[2 * i + 1] << 8);
    }
    return RECEIVE_COMPLETE;
  }
  return RECEIVE_PENDING;
}

void read_step(Model& model, const Bytes& piece, Packet& out) {
  const Packet before = out;
  Packet expected = out;
  int expected_result = RECEIVE_NOTHING;
  if (!piece.empty()) {
    expected_result = model.mode == LinkMode::Raw ? expect_raw(model, piece, expected)
                                                  : expect_yenc(model, piece, expected);
  }
  fake::queue_read(piece);
  std::size_t reads = fake::reads_made();
  int result = receive_packet(&out);
  FUZZ_CHECK(fake::reads_made() == reads + 1);
  FUZZ_CHECK(result == expected_result);
  // The response buffer changes only for a completed packet, and then only its words.
  if (result != RECEIVE_COMPLETE) FUZZ_CHECK(out == before);
  FUZZ_CHECK(out == expected);
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  home_dir = std::filesystem::current_path().string();
  // log.txt is rewritten for every input: on a disk that costs nine runs in ten, so a memory
  // file system is preferred where there is one.
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && *tmp != '\0' ? tmp
                     : access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                     : "/tmp";
  std::string pattern = base + "/xarveld-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("scratch directory");
    std::abort();
  }
  scratch_dir = pattern;
  std::atexit(remove_scratch_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InScratchDir in_scratch_dir;
  char* console_bytes = nullptr;
  std::size_t console_length = 0;
  std::FILE* console = open_memstream(&console_bytes, &console_length);
  FUZZ_CHECK(console != nullptr);
  console_set_stream(console);
  framing_reset();
  fake::reset();
  trace_open();
  FUZZ_CHECK(trace_is_open());

  Model model;
  set_link_mode(model.mode);
  Packet out{};
  std::size_t at = 0;
  while (at < size) {
    std::uint8_t step = data[at++];
    if (step == STEP_FAILED_READ) {
      fake::queue_failed_read();
      const Packet before = out;
      FUZZ_CHECK(receive_packet(&out) == RECEIVE_READ_FAILED);
      FUZZ_CHECK(out == before);
      model.console += "Serial Read Error = 0\r\n";
      // A failed read lets go of the port; the rest of the input runs on a port opened again,
      // whose accumulator still holds what came before.
      FUZZ_CHECK(!serial_is_open());
      FUZZ_CHECK(receive_packet(&out) == RECEIVE_NO_PORT);
      fake::set_port_open(true);
    } else if (step == STEP_DRAIN) {
      std::uint8_t length_byte = at < size ? data[at++] : 0;
      fake::queue_read(fuzz::take_piece(length_byte, data, size, at));
      FUZZ_CHECK(receive_packet(nullptr) == RECEIVE_NOTHING);
    } else if (step == STEP_SWITCH_MODE) {
      model.mode = model.mode == LinkMode::Raw ? LinkMode::YEnc : LinkMode::Raw;
      set_link_mode(model.mode);
    } else {
      read_step(model, fuzz::take_piece(step, data, size, at), out);
    }
  }

  trace_close();
  FUZZ_CHECK(read_file("log.txt") == model.log);
  console_set_stream(nullptr);
  std::fclose(console);
  FUZZ_CHECK(std::string(console_bytes, console_length) == model.console);
  std::free(console_bytes);
  return 0;
}
