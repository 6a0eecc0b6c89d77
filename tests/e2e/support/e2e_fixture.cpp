#include "tests/e2e/support/e2e_fixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

namespace xarveld::e2e {

std::string random_bytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += piece.size()) {
    ++count;
  }
  return count;
}

bool wait_until(const std::function<bool()>& condition, double seconds) {
  for (int polls = static_cast<int>(seconds / 0.020); polls >= 0; --polls) {
    if (condition()) return true;
    usleep(20000);
  }
  return false;
}

std::vector<std::string> configured_command(const char* variable, const std::string& built) {
  const char* configured = std::getenv(variable);
  std::string command = configured != nullptr && *configured != '\0' ? configured : built;
  std::vector<std::string> words;
  std::istringstream split(command);
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> tool_command() {
  return configured_command("XARVELD_E2E_TOOL", XARVELD_TOOL_PATH);
}

std::string sim_path() {
  const char* configured = std::getenv("XARVELD_E2E_SIM");
  if (configured != nullptr && *configured != '\0') return configured;
#ifdef XARVELD_SIM_PATH
  return XARVELD_SIM_PATH;
#else
  return "";
#endif
}

bool tool_is_native() {
  // Either program under Wine needs the prepared prefix, whichever binary runs the cases.
  for (const char* variable : {"XARVELD_E2E_TOOL", "XARVELD_E2E_READ"}) {
    const char* configured = std::getenv(variable);
    if (configured != nullptr && std::string(configured).find(".exe") != std::string::npos) {
      return false;
    }
  }
  return true;
}

namespace {
// Under Wine the tool's COM names are links in the prefix's dosdevices, which Wine re-points at
// every start of its server, each /dev/ttyS* included. COM1 must be the fixed link the cases
// publish, and no COM name may lead to a real serial device. Empty when all is well.
std::string wine_port_violation(const std::string& prefix, const std::string& com1_link) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(fs::path(prefix) / "dosdevices", error);
  if (error) return "cannot list " + prefix + "/dosdevices: " + error.message();
  bool com1_seen = false;
  std::string violation;
  for (const fs::directory_entry& entry : entries) {
    std::string name = entry.path().filename().string();
    if (name.rfind("com", 0) != 0) continue;
    std::string target = fs::read_symlink(entry.path(), error).string();
    if (error) {
      violation += name + " is not a link; ";
      continue;
    }
    std::string leads_to = fs::weakly_canonical(entry.path(), error).string();
    if (error || target.rfind("/dev/tty", 0) == 0 || leads_to.rfind("/dev/tty", 0) == 0) {
      violation += name + " -> " + target + " leads to a real serial device; ";
    }
    if (name == "com1") {
      com1_seen = true;
      if (target != com1_link) violation += "com1 -> " + target + " is not " + com1_link + "; ";
    }
  }
  if (!com1_seen) violation += "com1 is missing; ";
  return violation;
}
}  // namespace

void E2eTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "xarveld-e2e-XXXXXX").string();
  dir = mkdtemp(pattern.data());
  const char* prefix = std::getenv("XARVELD_E2E_WINEPREFIX");
  if (!tool_is_native()) {
    // An unprepared prefix maps COM1 to the machine's /dev/ttyS0.
    const char* wine_prefix = std::getenv("WINEPREFIX");
    ASSERT_TRUE(prefix != nullptr && wine_prefix != nullptr && std::string(prefix) == wine_prefix)
        << "the Windows build runs only in the prefix prepared by scripts/wine-e2e, named by both "
           "WINEPREFIX and XARVELD_E2E_WINEPREFIX";
  }
  if (prefix != nullptr && *prefix != '\0') {
    const char* com1_link = std::getenv("XARVELD_E2E_COM1_LINK");
    ASSERT_NE(com1_link, nullptr) << "XARVELD_E2E_WINEPREFIX needs XARVELD_E2E_COM1_LINK";
    std::string violation = wine_port_violation(prefix, com1_link);
    ASSERT_EQ(violation, "") << "the case is not run: Wine's COM links are unsafe";
  }
  // Until the case publishes its own line, COM1 leads nowhere: never to /dev/ttyS0, which the
  // native tool would open without a COM1 entry, nor to the line of an earlier case under Wine.
  publish_com1(path("COM1-not-published"));
}

void E2eTest::TearDown() {
  if (sim.pid > 0) finish(sim, 0);
  stop_serving();
  if (master_fd >= 0) close(master_fd);
  if (slave_fd >= 0) close(slave_fd);
  if (dir.empty()) return;
  std::error_code ignored;
  if (!HasFailure()) std::filesystem::remove_all(dir, ignored);
  else std::cerr << "kept the working directory " << dir << "\n";
}

void SimE2eTest::SetUp() {
  if (sim_path().empty()) {
    GTEST_SKIP() << "built without the simulated target (XARVELD_BUILD_SIM=OFF) and no "
                    "XARVELD_E2E_SIM";
  }
  E2eTest::SetUp();
}

Finished E2eTest::run_tool(const std::vector<std::string>& arguments, double timeout_seconds) {
  std::vector<std::string> argv = tool_command();
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Finished finished = run_to_end(argv, dir, timeout_seconds);
  EXPECT_FALSE(finished.timed_out) << "the tool did not end within " << timeout_seconds << " s";
  // Every message goes to standard output.
  EXPECT_EQ(finished.err, "");
  return finished;
}

std::string E2eTest::reachable_copy(const std::string& file) {
  std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return file;
  std::string copy = path(file.substr(slash + 1));
  std::error_code error;
  std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "cannot copy " << file << ": " << error.message();
  chmod(copy.c_str(), 0755);
  return copy;
}

void E2eTest::start_sim(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {sim_path(), "--dir", dir, "--port", "1", "--dump",
                                   path("dump"), "--wire", path("wire.txt")};
  argv.insert(argv.end(), options.begin(), options.end());
  std::filesystem::create_directory(path("dump"));
  if (sim.pid > 0) finish(sim, 0);  // one simulator at a time
  sim = start_background(argv, dir);
  std::string line = read_line(sim, 10);
  const std::string ready = " ready";
  ASSERT_TRUE(line.size() > ready.size() &&
              line.compare(line.size() - ready.size(), ready.size(), ready) == 0)
      << "the simulator did not get ready: \"" << line << "\"";
  slave_path = line.substr(0, line.size() - ready.size());
  publish_com1(slave_path);
}

int E2eTest::finish_sim(double timeout_seconds) { return finish(sim, timeout_seconds); }

std::string E2eTest::dump(const std::string& name) { return read_file(path("dump/" + name)); }

std::vector<WireFrame> E2eTest::wire_log() {
  std::vector<WireFrame> log;
  std::istringstream lines(read_file(path("wire.txt")));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    WireFrame frame;
    fields >> frame.milliseconds >> frame.direction >> frame.framing;
    for (std::string word; fields >> word;) {
      frame.words.push_back(static_cast<std::uint16_t>(std::stoul(word, nullptr, 16)));
    }
    log.push_back(frame);
  }
  return log;
}

std::vector<WireFrame> E2eTest::received(std::uint16_t code) {
  std::vector<WireFrame> matching;
  for (const WireFrame& frame : wire_log()) {
    if (frame.direction == "rx" && (frame.framing == "raw" || frame.framing == "yenc") &&
        !frame.words.empty() && (frame.words[0] & 0x0FFF) == code) {
      matching.push_back(frame);
    }
  }
  return matching;
}

std::size_t E2eTest::wire_count(const std::string& direction, const std::string& framing) {
  std::size_t count = 0;
  for (const WireFrame& frame : wire_log()) {
    count += frame.direction == direction && frame.framing == framing;
  }
  return count;
}

void E2eTest::publish_com1(const std::string& slave) {
  const char* fixed_link = std::getenv("XARVELD_E2E_COM1_LINK");
  std::string link = fixed_link != nullptr && *fixed_link != '\0' ? fixed_link : path("COM1");
  // The simulator has published COM1 in the working directory already.
  if (link == path("COM1") && std::filesystem::is_symlink(link) &&
      std::filesystem::read_symlink(link) == slave) {
    return;
  }
  std::error_code ignored;
  std::filesystem::remove(link, ignored);
  std::filesystem::create_symlink(slave, link);
}

void E2eTest::open_own_line() {
  char name[256];
  ASSERT_EQ(openpty(&master_fd, &slave_fd, name, nullptr, nullptr), 0);
  slave_path = name;
  termios raw{};
  tcgetattr(master_fd, &raw);
  cfmakeraw(&raw);
  tcsetattr(master_fd, TCSANOW, &raw);
  publish_com1(slave_path);
}

void E2eTest::serve_own_line(std::function<Bytes(const Bytes& frame)> answer) {
  peer_answer = std::move(answer);
  peer_running = true;
  peer = std::thread([this] { peer_loop(); });
}

void E2eTest::stop_serving() {
  peer_running = false;
  if (peer.joinable()) peer.join();
}

std::vector<Bytes> E2eTest::frames_received() {
  std::lock_guard<std::mutex> lock(frames_mutex);
  return frames;
}

// Splits what arrives into frames: a yEnc line from '=' to CR, otherwise a raw packet of the
// length its header gives.
void E2eTest::peer_loop() {
  Bytes pending;
  while (peer_running) {
    pollfd fd{master_fd, POLLIN, 0};
    if (poll(&fd, 1, 10) <= 0 || (fd.revents & POLLIN) == 0) continue;
    std::uint8_t chunk[1024];
    ssize_t got = read(master_fd, chunk, sizeof chunk);
    if (got <= 0) continue;
    pending.insert(pending.end(), chunk, chunk + got);
    for (;;) {
      std::size_t length = 0;
      if (!pending.empty() && pending[0] == '=') {
        for (std::size_t i = 0; i < pending.size(); ++i) {
          if (pending[i] == '\r') {
            length = i + 1;
            break;
          }
        }
      } else if (pending.size() >= 2) {
        std::size_t packet = 2 * ((pending[1] >> 4) + 3u);
        if (pending.size() >= packet) length = packet;
      }
      if (length == 0) break;
      Bytes frame(pending.begin(), pending.begin() + static_cast<long>(length));
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
      {
        std::lock_guard<std::mutex> lock(frames_mutex);
        frames.push_back(frame);
      }
      Bytes reply = peer_answer(frame);
      if (!reply.empty() && write(master_fd, reply.data(), reply.size()) < 0) return;
    }
  }
}

}  // namespace xarveld::e2e
