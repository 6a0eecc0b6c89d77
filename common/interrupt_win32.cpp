#include <windows.h>

#include "common/interrupt.hpp"

namespace xarveld {

namespace {
volatile LONG requested = 0;

// Runs on a thread of its own. Closing the console window ends the process as soon as this
// returns, so for that event it waits: the main path notices the request within a read interval
// and ends the process itself, this thread with it.
BOOL WINAPI note_control_event(DWORD event) {
  // A second request while the first is still being carried out (a write to a console or pipe
  // that does not move): what Windows does by default.
  if (InterlockedExchange(&requested, 1) != 0) ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}
}  // namespace

void interrupt_install() { SetConsoleCtrlHandler(note_control_event, TRUE); }

bool interrupt_requested() { return InterlockedCompareExchange(&requested, 0, 0) != 0; }

void interrupt_end_process() { ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT)); }

void interrupt_reset() { InterlockedExchange(&requested, 0); }

}  // namespace xarveld
