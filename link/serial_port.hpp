#pragma once
// The one channel to the target. One source file per platform; unit tests link a scripted
// stand-in in its place.
#include <cstddef>
#include <cstdint>
#include <string>

namespace xarveld {

constexpr std::size_t SERIAL_READ_SIZE = 1024;
// A read with nothing to return waits this long for a first byte.
constexpr std::uint32_t SERIAL_READ_INTERVAL_MS = 20;
// A frame that cannot be written in this long means a line that has stopped taking data: the
// longest frame, 75 bytes, takes 40 ms at 19200 baud.
constexpr std::uint32_t SERIAL_WRITE_LIMIT_MS = 2000;
// At the end of a run the frames already written (the disconnect command) get this long to
// leave the port before what is left is discarded; the queue is looked at this often.
constexpr std::uint32_t SERIAL_DRAIN_LIMIT_MS = 500;
constexpr std::uint32_t SERIAL_DRAIN_POLL_MS = 5;

// What serial_write reports.
constexpr int SERIAL_WRITE_DONE = 1;
constexpr int SERIAL_WRITE_STUCK = 0;  // the line took nothing for SERIAL_WRITE_LIMIT_MS
constexpr int SERIAL_WRITE_GONE = -1;  // the device went away (a pulled adapter)

// Opens the port named "COM1" to "COM9" for this process alone (on POSIX a lock file first, then
// the device), drops DTR and RTS at once, applies the line settings (8 data bits, no parity, one
// stop bit, no flow control, baud_rate) and checks that they took, discards whatever was waiting
// on the line or arrives until it has been quiet a while, and prints
// "Serial port opened...\n". A port that cannot be opened or configured prints
// "Could not open serial port!\n" and ends the process with status 1. The port is released
// by end_process on every way out.
void serial_open(const std::string& port_name, std::uint32_t baud_rate);

// One read of at most capacity bytes: at once with what is waiting; otherwise waits up to
// SERIAL_READ_INTERVAL_MS for a first byte and returns with what has arrived. Returns 1 with
// *count set (zero bytes after the wait, or a wait cut short by a signal, is a successful read),
// or 0 when the read failed: the port is gone (a pulled adapter, a line that hung up).
int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count);
// The same read, waiting up to wait_ms for a first byte.
int serial_read_within(std::uint8_t* buffer, std::size_t capacity, std::size_t* count,
                       std::uint32_t wait_ms);

// Writes the whole frame within SERIAL_WRITE_LIMIT_MS. Returns SERIAL_WRITE_DONE, or
// SERIAL_WRITE_STUCK or SERIAL_WRITE_GONE when it could not be written.
int serial_write(const std::uint8_t* bytes, std::size_t length);

// Discards output written but not yet sent: a line that stopped taking data never takes it.
void serial_discard_output();

// Releases the port if it is open: what was written gets SERIAL_DRAIN_LIMIT_MS to leave (none
// after an interrupt) and the rest is discarded, exclusive use ended, locks released, handle
// closed.
void serial_close();

bool serial_is_open();

// The port as a person at the bench knows it, for the help on a terminal:
// "COM3 (./COM3 -> /dev/ttyUSB0)". Empty before serial_open.
const std::string& serial_port_description();

}  // namespace xarveld
