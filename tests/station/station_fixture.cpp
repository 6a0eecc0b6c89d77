#include "tests/station/station_fixture.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace xarveld::station_test {

namespace fs = std::filesystem;

namespace {
std::string random_bytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

void write_text(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}
}  // namespace

std::string sha256_of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::ostringstream hex;
  for (unsigned int i = 0; i < length; ++i) {
    static const char DIGITS[] = "0123456789abcdef";
    hex << DIGITS[digest[i] >> 4] << DIGITS[digest[i] & 15];
  }
  return hex.str();
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool wait_for(const std::function<bool()>& condition, double seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void StationTest::SetUp() {
  char pattern[] = "/tmp/xarveld-station-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir = pattern;
  driver = random_bytes(8192, 1);
  image = random_bytes(32768, 2);
  write_text(path("drv.bin"), driver);
  write_text(path("img.bin"), image);
  // Every station the case starts finds its default ledger here, never in the PC's own place.
  setenv("XARVELD_LEDGER", path("station-ledger.sqlite").c_str(), 1);
}

void StationTest::TearDown() {
  for (Station& station : stations) {
    if (station.pid > 0 && waitpid(station.pid, nullptr, WNOHANG) == 0) {
      kill(station.pid, SIGKILL);
      waitpid(station.pid, nullptr, 0);
    }
    if (station.input_fd >= 0) close(station.input_fd);
    if (station.output_fd >= 0) close(station.output_fd);
  }
  stop_sims();
  if (!HasFailure()) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  } else {
    std::fprintf(stderr, "kept %s\n", dir.c_str());
  }
}

std::string StationTest::start_sim(const std::string& name, const std::vector<std::string>& options) {
  std::string sim_dir = path("sims/" + name);
  fs::create_directories(sim_dir);
  std::vector<std::string> argv = {XARVELD_SIM_PATH, "--dir", sim_dir, "--dump", sim_dir + "/dump"};
  argv.insert(argv.end(), options.begin(), options.end());
  Background sim = e2e::start_background(argv, dir);
  std::string ready = e2e::read_line(sim, 10);
  sims.push_back(sim);
  EXPECT_NE(ready.find(" ready"), std::string::npos) << name;
  return sim_dir + "/COM1";
}

void StationTest::stop_sims() {
  for (Background& sim : sims) e2e::finish(sim, 0);
  sims.clear();
}

// A copy in the case's own directory, for another user: the build tree may lie in a directory
// only its owner may enter, as a clone in /root does.
std::string StationTest::reachable_copy(const std::string& file) const {
  std::string copy = path(fs::path(file).filename().string());
  std::error_code error;
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, error);
  EXPECT_FALSE(error) << "cannot copy " << file << ": " << error.message();
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  return copy;
}

std::vector<std::string> StationTest::station_command(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = launcher;
  bool other_user = std::find(launcher.begin(), launcher.end(), "setpriv") != launcher.end();
  argv.push_back(other_user ? reachable_copy(XARVELD_STATION_PATH) : XARVELD_STATION_PATH);
  // A case's own --tool is the one: the station refuses an option given twice.
  if (std::find(arguments.begin(), arguments.end(), "--tool") == arguments.end()) {
    argv.push_back("--tool");
    argv.push_back(other_user ? reachable_copy(XARVELD_TOOL_PATH) : XARVELD_TOOL_PATH);
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

Finished StationTest::run_station(const std::vector<std::string>& arguments, double timeout_seconds) {
  return e2e::run_to_end(station_command(arguments), dir, timeout_seconds);
}

Station StationTest::start_station(const std::vector<std::string>& arguments, bool on_terminal,
                                   int columns) {
  Station station;
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) return station;
  int output_write = -1;
  if (on_terminal) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = static_cast<unsigned short>(columns);
    if (openpty(&station.output_fd, &output_write, nullptr, nullptr, &size) != 0) return station;
    fcntl(station.output_fd, F_SETFD, FD_CLOEXEC);
    fcntl(output_write, F_SETFD, FD_CLOEXEC);
  } else {
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return station;
    station.output_fd = output[0];
    output_write = output[1];
  }
  std::vector<std::string> argv = station_command(arguments);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  station.pid = fork();
  if (station.pid == 0) {
    setsid();
    dup2(input[0], STDIN_FILENO);
    dup2(output_write, STDOUT_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(input[0]);
  close(output_write);
  station.input_fd = input[1];
  stations.push_back(station);
  return station;
}

void StationTest::read_output(Station& station, std::string& output) {
  pollfd fd{station.output_fd, POLLIN, 0};
  char chunk[4096];
  ssize_t got;
  while (poll(&fd, 1, 0) > 0 && (got = read(station.output_fd, chunk, sizeof chunk)) > 0) {
    output.append(chunk, static_cast<std::size_t>(got));
  }
}

int StationTest::finish_station(Station& station, std::string& output, double timeout_seconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<int>(timeout_seconds * 1000));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd fd{station.output_fd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    ssize_t got = read(station.output_fd, chunk, sizeof chunk);
    if (got <= 0) break;  // a pipe's end, or EIO once a pseudo-terminal's slave is closed
    output.append(chunk, static_cast<std::size_t>(got));
  }
  int raw = 0;
  if (!wait_for([&] { return waitpid(station.pid, &raw, WNOHANG) == station.pid; }, 5)) {
    kill(station.pid, SIGKILL);
    waitpid(station.pid, &raw, 0);
    ADD_FAILURE() << "the station did not end";
  }
  station.pid = -1;
  for (Station& known : stations) {
    if (known.output_fd == station.output_fd) known.pid = -1;
  }
  return decode_status(raw);
}

std::vector<nlohmann::json> StationTest::records() {
  std::vector<nlohmann::json> lines;
  std::istringstream text(read_text(path("station-record.jsonl")));
  std::string line;
  while (std::getline(text, line)) {
    nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << "not a whole JSON line: " << line;
    if (!json.is_discarded()) lines.push_back(json);
  }
  return lines;
}

std::vector<nlohmann::json> StationTest::records_of(const std::string& slot) {
  std::vector<nlohmann::json> lines;
  for (const nlohmann::json& record : records()) {
    if (record["slot"] == slot) lines.push_back(record);
  }
  return lines;
}

}  // namespace xarveld::station_test
