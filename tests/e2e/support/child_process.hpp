#pragma once
// Real child processes for the end-to-end tests: the tool, run to its end with its output
// captured, and the simulated target, run in the background.
#include <sys/types.h>

#include <string>
#include <vector>

namespace xarveld::e2e {

struct Finished {
  int status = -1;  // the exit status; -1 when a signal ended the process
  int signal = 0;   // the signal that ended it, if one did
  std::string out;
  std::string err;
  bool timed_out = false;
  double seconds = 0;
  double cpu_seconds = 0;  // user + system time of the child
};

// Runs argv in cwd until it ends (killed after timeout_seconds), capturing stdout and stderr.
Finished run_to_end(const std::vector<std::string>& argv, const std::string& cwd,
                    double timeout_seconds);

struct Background {
  pid_t pid = -1;
  int stdout_fd = -1;
};

// Starts argv in cwd. Its stdout goes to out_fd when one is given, else to a pipe read through
// stdout_fd; its stderr to err_fd when one is given, else to the test's own.
Background start_background(const std::vector<std::string>& argv, const std::string& cwd,
                            int out_fd = -1, int err_fd = -1);

// Reads one line (without its line feed) from the child's stdout; empty after timeout or EOF.
std::string read_line(const Background& child, double timeout_seconds);

// Reads the child's stdout until it is closed (the child has ended) or timeout_seconds pass.
std::string read_rest(const Background& child, double timeout_seconds);

// Waits for the child to end by itself for up to timeout_seconds, then ends it with SIGTERM (and
// SIGKILL if it must). Returns its exit status as in Finished, and the signal that ended it in
// *signal when one is asked for.
int finish(Background& child, double timeout_seconds, int* signal = nullptr);

}  // namespace xarveld::e2e
