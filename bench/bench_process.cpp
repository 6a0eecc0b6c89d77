#include "bench/bench_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace xarveld::bench {

namespace {
double seconds_of(const timeval& value) {
  return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

std::vector<char*> c_arguments(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// In the child: only async-signal-safe calls until exec.
[[noreturn]] void exec_child(char* const* argv, const char* cwd, int out_fd, int err_fd,
                             char* const* envp) {
  int null_fd = open("/dev/null", O_RDONLY);
  if (chdir(cwd) != 0 || null_fd < 0) _exit(126);
  dup2(null_fd, 0);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  execve(argv[0], argv, envp);
  _exit(127);
}

// This process's environment, with LD_PRELOAD set when preload is given.
std::vector<std::string> child_environment(const std::string& preload) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!preload.empty() && std::strncmp(*entry, "LD_PRELOAD=", 11) == 0) continue;
    entries.push_back(*entry);
  }
  if (!preload.empty()) entries.push_back("LD_PRELOAD=" + preload);
  return entries;
}

int status_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits for the child to end for up to timeout_seconds (forever when negative); true if it ended.
bool wait_for_end(pid_t pid, double timeout_seconds) {
  if (timeout_seconds < 0) return true;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return true;  // no pidfd: the caller's wait4 blocks until the end
  pollfd waiting{pidfd, POLLIN, 0};
  double deadline = monotonic_seconds() + timeout_seconds;
  int ready = 0;
  for (;;) {
    double left = deadline - monotonic_seconds();
    if (left <= 0) break;
    ready = poll(&waiting, 1, static_cast<int>(left * 1000) + 1);
    if (ready != 0 && !(ready < 0 && errno == EINTR)) break;
  }
  close(pidfd);
  return ready > 0;
}
}  // namespace

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void pause_seconds(double seconds) {
  auto whole = static_cast<time_t>(seconds);
  timespec left{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

RunResult run_child(const std::vector<std::string>& argv, const std::string& cwd,
                    const std::string& stdout_path, double stop_after_seconds,
                    const std::string& preload) {
  RunResult result;
  std::vector<char*> arguments = c_arguments(argv);
  std::vector<std::string> environment = child_environment(preload);
  std::vector<char*> envp = c_arguments(environment);
  int out_fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out_fd < 0) return result;
  double start = monotonic_seconds();
  pid_t pid = fork();
  if (pid == 0) exec_child(arguments.data(), cwd.c_str(), out_fd, out_fd, envp.data());
  close(out_fd);
  if (pid < 0) return result;
  if (!wait_for_end(pid, stop_after_seconds > 0 ? stop_after_seconds : -1)) {
    kill(pid, SIGTERM);
    result.stopped = true;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.wall_seconds = monotonic_seconds() - start;
  result.exit_status = status_of(status);
  result.user_seconds = seconds_of(usage.ru_utime);
  result.system_seconds = seconds_of(usage.ru_stime);
  result.max_rss_kib = usage.ru_maxrss;
  result.voluntary_switches = usage.ru_nvcsw;
  result.involuntary_switches = usage.ru_nivcsw;
  return result;
}

bool start_sim(const std::vector<std::string>& argv, const std::string& cwd, SimProcess& sim,
               std::string& error) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::string err_path = cwd + "/sim.err";
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char*> arguments = c_arguments(argv);
  pid_t pid = fork();
  if (pid == 0) {
    exec_child(arguments.data(), cwd.c_str(), out[1], err_fd >= 0 ? err_fd : 2, environ);
  }
  close(out[1]);
  if (err_fd >= 0) close(err_fd);
  sim.pid = pid;
  sim.stdout_fd = out[0];
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    return false;
  }

  std::string line;
  double deadline = monotonic_seconds() + 10;
  while (line.find('\n') == std::string::npos) {
    double left = deadline - monotonic_seconds();
    pollfd waiting{sim.stdout_fd, POLLIN, 0};
    if (left <= 0 || poll(&waiting, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
    char buffer[256];
    ssize_t got = read(sim.stdout_fd, buffer, sizeof buffer);
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
  }
  const std::string ready = " ready\n";
  if (line.size() <= ready.size() ||
      line.compare(line.size() - ready.size(), ready.size(), ready) != 0) {
    error = "the simulator did not say it was ready (see " + err_path + ")";
    stop_sim(sim);
    return false;
  }
  sim.slave_path = line.substr(0, line.size() - ready.size());
  return true;
}

void stop_sim(SimProcess& sim) {
  if (sim.pid > 0) {
    kill(sim.pid, SIGTERM);
    int status = 0;
    while (waitpid(sim.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (sim.stdout_fd >= 0) close(sim.stdout_fd);
  sim = SimProcess{};
}

bool write_random_file(const std::string& path, std::size_t size, std::uint64_t seed) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::uint64_t state = seed;
  std::vector<std::uint8_t> chunk;
  chunk.reserve(1 << 16);
  for (std::size_t done = 0; done < size;) {
    chunk.clear();
    while (chunk.size() < (1u << 16) && done + chunk.size() < size) {
      // splitmix64
      std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      z ^= z >> 31;
      for (int i = 0; i < 8 && done + chunk.size() < size; ++i) {
        chunk.push_back(static_cast<std::uint8_t>(z >> (8 * i)));
      }
    }
    std::fwrite(chunk.data(), 1, chunk.size(), file);
    done += chunk.size();
  }
  return std::fclose(file) == 0;
}

std::string read_file(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace xarveld::bench
