#pragma once
// The lock file that serial programs on Linux honour: LCK..NAME in the lock directory, holding
// the holder's process number. Taken before the device is opened, because opening a port raises
// DTR and RTS, and a board that another run is burning must not see that reset pulse; root passes
// the exclusive mode of an open port, and a lock file stops it all the same.
#include <ctime>
#include <string>

namespace xarveld {

enum class PortLockOutcome {
  Taken,
  Held,         // by a live process, or by something that is not a lock file: the port is in use
  Unavailable,  // the lock directory cannot be written: the run goes on without a lock file
};

struct PortLock {
  PortLockOutcome outcome = PortLockOutcome::Unavailable;
  std::string reason;  // for the help on a terminal
};

// Takes the lock for the device at path (its real name, after symlinks), removing a stale lock
// whose process is gone. A device that does not exist is not locked: its open fails anyway.
PortLock port_lock_take(const std::string& path);
// The same in another lock directory.
PortLock port_lock_take_in(const std::string& directory, const std::string& path);

// Removes the lock file this process took, if the name still holds that very file.
void port_lock_release();

// Called, when set, between judging a lock stale and removing it, with the lock's name: lets a
// test play another run that gets there first. Null in the tool.
extern void (*port_lock_stale_hook)(const std::string& lock);

// The wall clock that judges how old a draft left in the lock directory is: time() when null, as
// in the tool; a test sets it to age the directory without waiting.
extern std::time_t (*port_lock_clock)();

}  // namespace xarveld
