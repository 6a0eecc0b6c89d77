#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "station/child_process.hpp"

namespace xarveld::station {

namespace {
struct Child {
  pid_t pid = -1;
  int output_fd = -1;  // the pseudo-terminal's master
  bool output_open = false;
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

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// In the child, between fork and exec.
[[noreturn]] void become_tool(const ChildSpec& spec, char* const* argv, int slave_fd) {
  // Its own session, with the pseudo-terminal as its controlling terminal: a Ctrl-C at the
  // station's terminal reaches the station alone, which passes it on, and should the station
  // die, the closed master hangs the tool up and it ends as it ends on SIGHUP.
  setsid();
  ioctl(slave_fd, TIOCSCTTY, 0);
  dup2(slave_fd, STDOUT_FILENO);
  int null_in = open("/dev/null", O_RDONLY);
  if (null_in >= 0) dup2(null_in, STDIN_FILENO);
  int error_fd = open(spec.error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (error_fd >= 0) dup2(error_fd, STDERR_FILENO);
  // The station notes these signals; the tool must get them with their default action, or a
  // signal the tool finds ignored would stay ignored.
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGXFSZ}) signal(number, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (chdir(spec.directory.c_str()) == 0) execv(spec.program.c_str(), argv);
  const char* reason = std::strerror(errno);
  dprintf(STDOUT_FILENO, "xarveld-station: cannot run %s: %s\r\n", spec.program.c_str(), reason);
  _exit(127);
}
}  // namespace

int child_start(const ChildSpec& spec, std::string& error) {
  if (!watch_child_endings(error)) return -1;
  int master_fd = -1, slave_fd = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  if (openpty(&master_fd, &slave_fd, nullptr, nullptr, &size) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return -1;
  }
  // Raw: the tool writes CR LF itself, and its output is kept byte for byte.
  termios settings{};
  tcgetattr(slave_fd, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave_fd, TCSANOW, &settings);
  fcntl(master_fd, F_SETFD, FD_CLOEXEC);
  fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
  fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(spec.program.c_str()));
  for (const std::string& argument : spec.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    close(master_fd);
    close(slave_fd);
    return -1;
  }
  if (pid == 0) become_tool(spec, argv.data(), slave_fd);
  close(slave_fd);

  Child child;
  child.pid = pid;
  child.output_fd = master_fd;
  child.output_open = true;
  for (std::size_t id = 0; id < children.size(); ++id) {
    if (children[id].pid < 0) {
      children[id] = child;
      return static_cast<int>(id);
    }
  }
  children.push_back(child);
  return static_cast<int>(children.size()) - 1;
}

bool child_read(int id, std::string& bytes) {
  Child& child = children[static_cast<std::size_t>(id)];
  while (child.output_open) {
    char chunk[4096];
    ssize_t got = read(child.output_fd, chunk, sizeof chunk);
    if (got > 0) {
      bytes.append(chunk, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    // EIO: every holder of the slave has closed it, and what they wrote has been read.
    child.output_open = false;
  }
  return child.output_open;
}

bool child_ended(int id, std::int64_t& status) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (!child.ended) {
    int raw = 0;
    if (waitpid(child.pid, &raw, WNOHANG) == child.pid) {
      child.ended = true;
      child.status = decode_status(raw);
    }
  }
  status = child.status;
  return child.ended;
}

void child_signal(int id, ChildSignal signal) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.ended) return;
  int number = signal == ChildSignal::Interrupt ? SIGINT
               : signal == ChildSignal::Terminate ? SIGTERM
                                                  : SIGKILL;
  kill(child.pid, number);
}

void child_release(int id) {
  Child& child = children[static_cast<std::size_t>(id)];
  if (child.output_fd >= 0) close(child.output_fd);
  child = Child{};
}

void wait_for_activity(int timeout_ms, const std::vector<WakeHandle>& also) {
  std::vector<pollfd> fds;
  fds.push_back({child_ended_pipe[0], POLLIN, 0});
  for (const Child& child : children) {
    if (child.pid >= 0 && child.output_open) fds.push_back({child.output_fd, POLLIN, 0});
  }
  for (WakeHandle handle : also) {
    if (handle != NO_WAKE_HANDLE) fds.push_back({static_cast<int>(handle), POLLIN, 0});
  }
  poll(fds.data(), fds.size(), timeout_ms);
  char drained[64];
  while (child_ended_pipe[0] >= 0 && read(child_ended_pipe[0], drained, sizeof drained) > 0) {
  }
}

bool child_progress_is_live() { return true; }

std::string tool_beside_station(const char* argv0) {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::filesystem::path self;
  if (length > 0) {
    self = std::string(buffer, static_cast<std::size_t>(length));
  } else {
    std::error_code code;
    self = std::filesystem::absolute(argv0, code);
  }
  return (self.parent_path() / "xarveld").string();
}

}  // namespace xarveld::station
