#include <windows.h>

#include <csignal>

#include "station/os/interrupt.hpp"

namespace xarveld::station {

namespace {
volatile LONG noted = 0;
HANDLE wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);

// Runs on a thread of its own. Closing the console window ends the process once this returns,
// so for that event it waits while the main path passes the interrupt on and ends.
BOOL WINAPI note_control_event(DWORD event) {
  // A second one, while the first is being carried out: what Windows does by default.
  if (InterlockedExchange(&noted, 1) != 0) ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  SetEvent(wake);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}
}  // namespace

void station_interrupt_install() { SetConsoleCtrlHandler(note_control_event, TRUE); }

int station_interrupt_signal() {
  if (InterlockedCompareExchange(&noted, 0, 0) == 0) return 0;
  ResetEvent(wake);
  return SIGINT;
}

WakeHandle station_interrupt_wake() { return reinterpret_cast<WakeHandle>(wake); }

ChildSignal station_interrupt_for_child() { return ChildSignal::Interrupt; }

}  // namespace xarveld::station
