#pragma once
// Ctrl-C, SIGTERM or a closed terminal to the station: noted, so that the loop passes it on to
// every running tool, lets each end as it does and records it. One source file per platform.
#include "station/os/child_process.hpp"

namespace xarveld::station {

// POSIX: SIGINT, SIGTERM and SIGHUP are noted, unless the station was started with one ignored
// (as a background job is), which then stays ignored; SIGPIPE and SIGXFSZ are ignored. Windows:
// Ctrl-C, Ctrl-Break and the closing of the console window. A second one, while the first is
// being carried out, ends the station at once, as it ends the tool.
void station_interrupt_install();

// The signal noted first (Windows: SIGINT's number for every console event), or 0.
int station_interrupt_signal();

// Ready when a signal has been noted, for wait_for_activity.
WakeHandle station_interrupt_wake();

// The number of the interrupt the tool should be given in turn.
ChildSignal station_interrupt_for_child();

}  // namespace xarveld::station
