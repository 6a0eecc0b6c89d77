#include "tests/e2e/support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace xarveld::e2e {

namespace {
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
int ending_signal(int raw) { return WIFSIGNALED(raw) ? WTERMSIG(raw) : 0; }

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const std::string& cwd) {
  if (chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// waitpid with a deadline, sleeping between polls of the child's state.
bool wait_until(pid_t pid, int* raw_status, rusage* usage, Clock::time_point deadline) {
  for (;;) {
    pid_t done = wait4(pid, raw_status, WNOHANG, usage);
    if (done == pid) return true;
    if (Clock::now() >= deadline) return false;
    usleep(2000);
  }
}
}  // namespace

Finished run_to_end(const std::vector<std::string>& argv, const std::string& cwd,
                    double timeout_seconds) {
  Finished finished;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return finished;
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    exec_child(argv, cwd);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(timeout_seconds));
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&finished.out, &finished.err};
  int open_streams = 2;
  while (open_streams > 0) {
    int left_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left_ms <= 0) {
      finished.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, left_ms) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int raw_status = 0;
  rusage usage{};
  if (!wait_until(pid, &raw_status, &usage, Clock::now() + std::chrono::seconds(10))) {
    kill(pid, SIGKILL);
    wait4(pid, &raw_status, 0, &usage);
    finished.timed_out = true;
  }
  finished.status = exit_status(raw_status);
  finished.signal = ending_signal(raw_status);
  finished.seconds = since(start);
  finished.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return finished;
}

Background start_background(const std::vector<std::string>& argv, const std::string& cwd,
                            int out_fd, int err_fd) {
  Background child;
  int out_pipe[2] = {-1, -1};
  if (out_fd < 0) {
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return child;
    out_fd = out_pipe[1];
  }
  child.pid = fork();
  if (child.pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    exec_child(argv, cwd);
  }
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  child.stdout_fd = out_pipe[0];
  return child;
}

std::string read_line(const Background& child, double timeout_seconds) {
  std::string line;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout_seconds));
  for (;;) {
    int left_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left_ms <= 0) return "";
    pollfd fd{child.stdout_fd, POLLIN, 0};
    if (poll(&fd, 1, left_ms) <= 0) continue;
    char c;
    if (read(child.stdout_fd, &c, 1) != 1) return "";
    if (c == '\n') return line;
    line += c;
  }
}

std::string read_rest(const Background& child, double timeout_seconds) {
  std::string text;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout_seconds));
  while (child.stdout_fd >= 0) {
    int left_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    pollfd fd{child.stdout_fd, POLLIN, 0};
    if (left_ms <= 0 || poll(&fd, 1, left_ms) <= 0) break;
    char chunk[4096];
    ssize_t got = read(child.stdout_fd, chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

int finish(Background& child, double timeout_seconds, int* signal) {
  if (child.pid < 0) return -1;
  int raw_status = 0;
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(timeout_seconds));
  if (!wait_until(child.pid, &raw_status, nullptr, deadline)) {
    kill(child.pid, SIGTERM);
    if (!wait_until(child.pid, &raw_status, nullptr, Clock::now() + std::chrono::seconds(5))) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &raw_status, 0);
    }
  }
  if (child.stdout_fd >= 0) close(child.stdout_fd);
  child = Background{};
  if (signal != nullptr) *signal = ending_signal(raw_status);
  return exit_status(raw_status);
}

}  // namespace xarveld::e2e
