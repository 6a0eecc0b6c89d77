// qemu-guest-run: runs one command of the QEMU leg inside the guest, as a user's shell would.
//   qemu-guest-run OUT_DIR [--tty-stderr] PROGRAM ARGS...
// The guest's busybox shell cannot do three things this leg needs, so this does them:
// - The command starts with SIGINT and SIGTERM at their default action: a shell without job
//   control starts its background commands with both ignored, and the leg interrupts the tool.
// - With --tty-stderr its standard error is a pseudo-terminal (the tool writes its help lines
//   only to a terminal), whose output is copied to OUT_DIR/stderr.
// - The moment it ends goes to the kernel log beside the drivers' own messages, so the host
//   can tell how long after a USB disconnect the run was over.
// It writes OUT_DIR/pid when the command has started, standard output to OUT_DIR/stdout, and
// OUT_DIR/status (the exit status, or 128 + the signal) and OUT_DIR/milliseconds (from its start
// to its end) when it has ended.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool write_text(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && whole;
}

// Copies what the command writes to its terminal until the last descriptor of the terminal's
// other side is closed: the pseudo-terminal then reads EIO.
void copy_terminal(int master, int sink) {
  char chunk[4096];
  for (;;) {
    ssize_t got = read(master, chunk, sizeof chunk);
    if (got > 0) {
      if (write(sink, chunk, static_cast<std::size_t>(got)) != got) return;
    } else if (got == 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int first = 2;
  bool tty_stderr = argc > 2 && std::strcmp(argv[2], "--tty-stderr") == 0;
  if (tty_stderr) ++first;
  if (argc <= first) {
    std::fprintf(stderr, "usage: qemu-guest-run OUT_DIR [--tty-stderr] PROGRAM ARGS...\n");
    return 2;
  }
  std::string out_dir = argv[1];
  int out = open((out_dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open((out_dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) {
    std::perror(out_dir.c_str());
    return 2;
  }
  int master = -1;
  int terminal = -1;
  if (tty_stderr && openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 2;
  }

  long long started = now_ms();
  pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    // Its own session: the pseudo-terminal is its controlling terminal, as in a login.
    setsid();
    if (tty_stderr) ioctl(terminal, TIOCSCTTY, 0);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(tty_stderr ? terminal : err, STDERR_FILENO);
    execv(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  if (tty_stderr) close(terminal);
  write_text(out_dir + "/pid", std::to_string(child) + "\n");
  if (tty_stderr) copy_terminal(master, err);

  int raw = 0;
  while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
  }
  long long took = now_ms() - started;
  int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  int kmsg = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
  if (kmsg >= 0) {
    // The line feed ends the record: the kernel keeps one without it open for more text, and
    // dmesg does not show it until another message follows.
    std::string mark =
        "qemu-e2e: " + out_dir + " ended with status " + std::to_string(status) + "\n";
    if (write(kmsg, mark.data(), mark.size()) < 0) std::perror("/dev/kmsg");
    close(kmsg);
  }
  bool kept = write_text(out_dir + "/milliseconds", std::to_string(took) + "\n");
  // The status last: the host takes a run whose status is written as a finished one.
  kept = write_text(out_dir + "/status", std::to_string(status) + "\n") && kept;
  return kept ? 0 : 2;
}
