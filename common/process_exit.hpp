#pragma once
// The one way out of the process, whatever the path: success, an argument error, a port that
// cannot be opened, a silent target, an unreadable image, a failed operation, an interrupt.

namespace xarveld {

// Called by the owners of what must be let go of at the end (log.txt, the port), when they take
// it; end_process calls each, last taken first. Taking the same function twice registers it once.
void at_process_end(void (*release)());

// Releases what was registered (flushing and closing log.txt, releasing the port), writes out
// stdout, and ends the process with status; when an interrupt has been requested it ends instead
// as the interrupted program it is.
[[noreturn]] void end_process(int status);

// The status with which the shared code ends the process on trouble it cannot get past (a port
// that cannot be opened, a silent target, an unreadable image): 1 unless the program sets another,
// as a program whose 1 means something else must.
void set_trouble_status(int status);
int trouble_status();

// Ends the process through end_process when an interrupt has been requested; every wait of the
// run calls it at least once per read interval.
void end_process_if_interrupted();

}  // namespace xarveld
