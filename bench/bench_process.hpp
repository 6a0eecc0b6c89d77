#pragma once
// Child processes for the benchmarks: the tool and the bare client run to their end with their
// resource usage taken from wait4, and the simulated target run in the background.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::bench {

struct RunResult {
  int exit_status = -1;  // the exit status, or 128 + the signal that ended the process
  bool stopped = false;  // ended by SIGTERM after stop_after_seconds
  double wall_seconds = 0;
  double user_seconds = 0;
  double system_seconds = 0;
  long max_rss_kib = 0;
  long voluntary_switches = 0;
  long involuntary_switches = 0;
};

// Runs argv in cwd with stdout and stderr in stdout_path and stdin from /dev/null, and waits for
// its end. With stop_after_seconds > 0 a child still running by then is sent SIGTERM. The wall
// time runs from just before the fork to the end of the wait. A preload library, if given, is
// put in the child's LD_PRELOAD.
RunResult run_child(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& stdout_path, double stop_after_seconds,
                    const std::string& preload = "");

struct SimProcess {
  pid_t pid = -1;
  int stdout_fd = -1;
  std::string slave_path;  // the pseudo-terminal the simulator published as COMn
};

// Starts the simulator (argv) in cwd, stderr to cwd/sim.err, and waits up to 10 s for its
// "<slave> ready" line. Returns false, with error set, when it does not come.
bool start_sim(const std::vector<std::string>& argv, const std::string& cwd, SimProcess& sim,
               std::string& error);

// SIGTERM, then waits for the simulator to write its dumps and end.
void stop_sim(SimProcess& sim);

// Sleeps; never spins.
void pause_seconds(double seconds);

double monotonic_seconds();

// A file of size bytes drawn from a splitmix64 stream seeded by seed: the same bytes on every run.
bool write_random_file(const std::string& path, std::size_t size, std::uint64_t seed);

std::string read_file(const std::string& path);

}  // namespace xarveld::bench
