#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "station/os/child_process.hpp"

namespace xarveld::station {

namespace {
struct Child {
  pid_t pid = -1;
  int output_fd = -1;  // the pseudo-terminal's master
  bool output_open = false;
  int error_fd = -1;  // the master of the second one, the child's standard error
  bool error_open = false;
  bool ended = false;
  std::int64_t status = -1;
};

std::vector<Child> children;
// SIGCHLD wakes the wait through this pipe.
int child_ended_pipe[2] = {-1, -1};

void note_child_ended(int) {
  int saved = errno;
  char byte = 0;
  [[maybe_unused]] ssize_t ignored = write(child_ended_pipe[1], &byte, 1);
  errno = saved;
}

bool watch_child_endings(std::string& error) {
  if (child_ended_pipe[0] >= 0) return true;
  if (pipe2(child_ended_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  struct sigaction action{};
  action.sa_handler = note_child_ended;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &action, nullptr);
  return true;
}

// Puts fd at target for exec to keep; an fd already there keeps its place.
void install(int fd, int target) {
  if (fd < 0) return;
  if (fd == target) {
    fcntl(fd, F_SETFD, 0);
  } else {
    dup2(fd, target);
  }
}

// The station's environment without the PostgreSQL client's variables (PGPASSWORD above all):
// the ledger's password is the station's, not every tool's and wrapper's to see. Made before
// the fork, which leaves the child nothing to allocate.
std::vector<char*> tool_environment() {
  std::vector<char*> kept;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "PG", 2) != 0) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  return kept;
}

// In the child, between fork and exec, with every signal blocked.
[[noreturn]] void become_tool(const ChildSpec& spec, char* const* argv, char* const* environment,
                              int slave_fd, int error_slave_fd) {
  // Its own session, with the pseudo-terminal as its controlling terminal: a Ctrl-C at the
  // station's terminal reaches the station alone, which passes it on to the session's process
  // group, and should the station die, the closed master hangs the tool up and it ends as it
  // ends on SIGHUP.
  setsid();
  ioctl(slave_fd, TIOCSCTTY, 0);
  install(slave_fd, STDOUT_FILENO);
  install(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
  // A terminal too, but not the controlling one: the tool explains its failures only there.
  install(error_slave_fd, STDERR_FILENO);
  // The tool gets these three and nothing else: not another attempt's files, nor what the
  // station itself was given by whoever started it.
  if (close_range(3, ~0U, 0) != 0) {
    long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < limit; ++fd) close(static_cast<int>(fd));
  }
  // The station notes these signals; the tool must get them with their default action, or a
  // signal the tool finds ignored would stay ignored.
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGXFSZ, SIGALRM})
    signal(number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (chdir(spec.directory.c_str()) == 0) execve(spec.program.c_str(), argv, environment);
  const char* reason = std::strerror(errno);
  dprintf(STDOUT_FILENO, "xarveld-station: cannot run %s: %s\r\n", spec.program.c_str(), reason);
  _exit(127);
}

// A pseudo-terminal in raw mode: the tool writes CR LF itself where it means them, and what it
// writes is kept byte for byte. Both ends are kept from other children; the master does not block.
bool open_raw_pty(int& master_fd, int& slave_fd, std::string& error) {
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  if (openpty(&master_fd, &slave_fd, nullptr, nullptr, &size) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  termios settings{};
  tcgetattr(slave_fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave_fd, TCSANOW, &settings);
  fcntl(master_fd, F_SETFD, FD_CLOEXEC);
  fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
  fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
  return true;
}

// Reads what is there without waiting; false once every holder of the slave has closed it (EIO)
// and what they wrote has been read.
bool drain(int fd, std::string& bytes) {
  for (;;) {
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      bytes.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && errno == EAGAIN;
  }
}
}  // namespace

int child_start(const ChildSpec& spec, std::string& error) {
  if (!watch_child_endings(error)) return -1;
  int master_fd = -1, slave_fd = -1, error_master_fd = -1, error_slave_fd = -1;
  if (!open_raw_pty(master_fd, slave_fd, error)) return -1;
  if (!open_raw_pty(error_master_fd, error_slave_fd, error)) {
    close(master_fd);
    close(slave_fd);
    return -1;
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const std::string& argument : spec.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> environment = tool_environment();

  // Blocked across the fork: a signal meant for the new child waits until it has its default
  // handlers, and never runs the station's in it.
  sigset_t all, before;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, &before);
  pid_t pid = fork();
  if (pid == 0) become_tool(spec, argv.data(), environment.data(), slave_fd, error_slave_fd);
  int fork_error = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  close(slave_fd);
  close(error_slave_fd);
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(fork_error);
    close(master_fd);
    close(error_master_fd);
    return -1;
  }

  Child child;
  child.pid = pid;
  child.output_fd = master_fd;
  child.output_open = true;
  child.error_fd = error_master_fd;
  child.error_open = true;
  for (std::size_t id = 0; id < children.size(); ++id) {
    if (children[id].pid < 0) {
      children[id] = child;
      return static_cast<int>(id);
    }
  }
  children.push_back(child);
  return static_cast<int>(children.size()) - 1;
}

bool child_error_is_terminal() { return true; }

bool child_read(int id, std::string& bytes) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.output_open) child.output_open = drain(child.output_fd, bytes);
  return child.output_open;
}

bool child_read_errors(int id, std::string& bytes) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.error_open) child.error_open = drain(child.error_fd, bytes);
  return child.error_open;
}

bool child_ended(int id, std::int64_t& status) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (!child.ended) {
    // Left a zombie until released: its pid, which is its process group's number, cannot be
    // taken by another process while what the child started may still be signalled.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child.pid) {
      child.ended = true;
      child.status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    }
  }
  status = child.status;
  return child.ended;
}

void child_signal(int id, ChildSignal signal) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.pid < 0) return;
  int number = signal == ChildSignal::Interrupt ? SIGINT
               : signal == ChildSignal::Terminate ? SIGTERM
                                                  : SIGKILL;
  // Until the new child has made its session (just after fork) there is no such group yet.
  if (kill(-child.pid, number) != 0 && errno == ESRCH) kill(child.pid, number);
}

void child_abandon_output(int id) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.output_fd >= 0) close(child.output_fd);
  if (child.error_fd >= 0) close(child.error_fd);
  child.output_fd = child.error_fd = -1;
  child.output_open = child.error_open = false;
}

void child_release(int id) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.output_fd >= 0) close(child.output_fd);
  if (child.error_fd >= 0) close(child.error_fd);
  if (child.pid > 0) waitpid(child.pid, nullptr, WNOHANG);
  child = Child{};
}

void wait_for_activity(int timeout_ms, const std::vector<WakeHandle>& readable,
                       WakeHandle writable) {
  std::vector<pollfd> fds;
  fds.push_back({child_ended_pipe[0], POLLIN, 0});
  for (const Child& child : children) {
    if (child.pid < 0) continue;
    if (child.output_open) fds.push_back({child.output_fd, POLLIN, 0});
    if (child.error_open) fds.push_back({child.error_fd, POLLIN, 0});
  }
  for (WakeHandle handle : readable) {
    if (handle != NO_WAKE_HANDLE) fds.push_back({static_cast<int>(handle), POLLIN, 0});
  }
  if (writable != NO_WAKE_HANDLE) fds.push_back({static_cast<int>(writable), POLLOUT, 0});
  poll(fds.data(), fds.size(), timeout_ms);
  char drained[64];
  while (child_ended_pipe[0] >= 0 && read(child_ended_pipe[0], drained, sizeof drained) > 0) {
  }
}

bool child_progress_is_live() { return true; }

}  // namespace xarveld::station
