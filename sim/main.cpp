// xarveld-sim: a simulated target for xarveld. It plays the board's resident loader on a
// pseudo-terminal published as COMn, so that the tool can be run and tested without hardware.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/dump.hpp"
#include "sim/loader.hpp"
#include "sim/pty_line.hpp"
#include "sim/serve.hpp"
#include "sim/sim_options.hpp"
#include "sim/wire_log.hpp"

namespace {
constexpr int EXIT_SETUP_FAILED = 1;
constexpr int EXIT_BAD_OPTIONS = 2;

int stop_pipe[2] = {-1, -1};

// The loop learns of SIGINT and SIGTERM through a pipe it polls, so a signal can never be lost
// between a test and a wait.
void on_stop_signal(int) {
  int saved = errno;
  char byte = 0;
  ssize_t ignored = write(stop_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

bool install_stop_signals() {
  if (pipe(stop_pipe) != 0) return false;
  for (int fd : stop_pipe) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  struct sigaction action{};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) {
    return false;
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  using namespace xarveld::sim;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SimParse parsed = parse_sim_options(arguments);
  if (parsed.status == ParseStatus::Help) {
    std::fputs(sim_usage().c_str(), stdout);
    return 0;
  }
  if (parsed.status == ParseStatus::Error) {
    std::fprintf(stderr, "xarveld-sim: %s\nTry 'xarveld-sim --help'.\n", parsed.error.c_str());
    return EXIT_BAD_OPTIONS;
  }
  const SimOptions& options = parsed.options;

  if (!install_stop_signals()) {
    std::fprintf(stderr, "xarveld-sim: cannot set up signals: %s\n", std::strerror(errno));
    return EXIT_SETUP_FAILED;
  }
  WireLog wire;
  if (!options.wire_path.empty() && !wire_log_open(wire, options.wire_path)) {
    std::fprintf(stderr, "xarveld-sim: cannot create %s: %s\n", options.wire_path.c_str(),
                 std::strerror(errno));
    return EXIT_SETUP_FAILED;
  }
  Loader loader;
  loader_start(loader, options.loader);
  for (const DeviceLoad& load : options.loads) {
    if (!load_device(loader.memory, load.device, load.path)) return EXIT_SETUP_FAILED;
  }
  PtyLine line;
  std::string error;
  if (!pty_line_open(line, options.directory, options.port, error)) {
    std::fprintf(stderr, "xarveld-sim: %s\n", error.c_str());
    pty_line_cut(line);
    return EXIT_SETUP_FAILED;
  }
  if (!options.banner.empty()) {
    std::string banner = options.banner + "\r\n";
    if (!pty_line_put(line, banner)) {
      std::fprintf(stderr, "xarveld-sim: cannot put the banner on the line: %s\n",
                   std::strerror(errno));
      pty_line_unpublish(line);
      pty_line_cut(line);
      return EXIT_SETUP_FAILED;
    }
    WireRecord record;
    record.transmitted = true;
    record.bytes.assign(banner.begin(), banner.end());
    wire_log_write(wire, 0.0, record);
  }
  std::printf("%s ready\n", line.slave_path.c_str());
  std::fflush(stdout);

  ServeSettings settings;
  settings.serve_forever = options.serve_forever;
  settings.pace_baud = options.pace_baud;
  settings.latency_ms = options.latency_ms;
  ServeEnd end = serve_line(line, loader, settings, wire, stop_pipe[0]);

  int status = end == ServeEnd::LineFailed ? EXIT_SETUP_FAILED : 0;
  if (!options.dump_directory.empty() && !write_dumps(loader.memory, options.dump_directory)) {
    status = EXIT_SETUP_FAILED;
  }
  pty_line_unpublish(line);
  pty_line_cut(line);
  wire_log_close(wire);
  return status;
}
