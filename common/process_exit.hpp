#pragma once

namespace xarveld {

// Ends the process with status. Process exit flushes standard output and flushes and closes
// log.txt, so every way out of the run keeps what has been written.
[[noreturn]] void end_process(int status);

}  // namespace xarveld
