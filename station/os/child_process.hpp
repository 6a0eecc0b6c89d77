#pragma once
// The tool as a child process, one per running attempt, and the one wait over all of them.
// POSIX: the child's standard output is a pseudo-terminal in raw mode, so the tool writes
// unbuffered as on a console and every byte arrives as it was written; its standard error is a
// second one, so that the tool explains a failure as it does to a person. Windows: a pseudo
// console where the system has one, else a pipe, through which the tool's output comes at its
// end; its standard error goes straight to a file. One source file per platform.
#include <cstdint>
#include <string>
#include <vector>

#include "station/os/wake.hpp"

namespace xarveld::station {

struct ChildSpec {
  std::string program;
  std::vector<std::string> arguments;  // without the program's name
  std::string directory;               // its working directory
  std::string error_file;              // its standard error, where it is no terminal
};

// Whether the child's standard error is a terminal whose bytes child_read_errors gives (else it
// goes to the ChildSpec's error_file).
bool child_error_is_terminal();

// Starts the child. Returns its id, or -1 with the reason in error.
int child_start(const ChildSpec& spec, std::string& error);

// Appends to bytes what the child has written since the last call, without waiting. Returns
// false once its output has ended and everything was read.
bool child_read(int id, std::string& bytes);
// The same for its standard error; false at once where that is no terminal.
bool child_read_errors(int id, std::string& bytes);

// True once the child has ended, with its exit status: the status it gave, or 128 + the signal
// that ended it (on Windows the exit code as the system gives it).
bool child_ended(int id, std::int64_t& status);

// To the child and every process it started, so that a --tool that is a wrapper ends with the
// tool it runs. POSIX: the child's process group (it leads a session of its own), also once the
// child itself has ended. Windows: a Ctrl-C in its console or a Ctrl-Break to its process
// group; Kill ends its job object.
enum class ChildSignal { Interrupt, Terminate, Kill };
void child_signal(int id, ChildSignal signal);

// Stops waiting for the child's output and errors: what a child that has ended left behind,
// still holding them open, no longer keeps the run going.
void child_abandon_output(int id);

// Lets go of what the child left behind; its id may then be reused.
void child_release(int id);

// Waits up to timeout_ms (-1: without limit) until a child has written or ended, one of readable
// is ready, or writable can take more. Never busy: one system wait.
void wait_for_activity(int timeout_ms, const std::vector<WakeHandle>& readable,
                       WakeHandle writable = NO_WAKE_HANDLE);

// Whether progress arrives while a run goes (false: only when it ends).
bool child_progress_is_live();

}  // namespace xarveld::station
