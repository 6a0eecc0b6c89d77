#pragma once
// Ctrl-C, a kill, a closed console window: the request to stop, noticed on the main path. The
// handlers only note it; every wait of the run asks for it at least once per read interval and
// then ends the process through end_process, which writes out stdout and log.txt and releases the
// port before the process ends as an interrupted program does. One source file per platform.

namespace xarveld {

// POSIX: SIGINT, SIGTERM and SIGHUP are noted, unless the tool started with them ignored (nohup,
// a background job), and then they stay ignored; SIGPIPE is ignored, so output that cannot be
// written is dropped and never cuts a device operation short. Windows: Ctrl-C, Ctrl-Break and
// the closing of the console window are noted. A second request, while the first is still being
// carried out, ends the process at once as the signal or event does by default.
void interrupt_install();

bool interrupt_requested();

// Ends the process as the interrupt would have ended it had it not been noted: on POSIX the
// signal again with its default action, on Windows the status of a console program stopped by
// Ctrl-C. Called by end_process only, once everything is written out and released.
[[noreturn]] void interrupt_end_process();

// For tests: forget a noted request.
void interrupt_reset();

}  // namespace xarveld
