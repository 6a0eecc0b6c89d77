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

// Opens the port named "COM1" to "COM9" and applies the line settings (8 data bits, no parity,
// one stop bit, no flow control, baud_rate) and the read time-outs, then prints
// "Serial port opened...\n". A port that cannot be opened or configured prints
// "Could not open serial port!\n" and ends the process with status 1.
void serial_open(const std::string& port_name, std::uint32_t baud_rate);

// One read of at most capacity bytes: at once with what is waiting; otherwise waits up to
// SERIAL_READ_INTERVAL_MS for a first byte and returns with what has arrived. Returns 1 with
// *count set (zero bytes after the wait is a successful read), or 0 when the read failed: a
// line that has hung up is a failed read, never an empty one.
int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count);

// Writes the whole frame, blocking until done; the result is not examined by anyone.
void serial_write(const std::uint8_t* bytes, std::size_t length);

// Releases the port if it is open.
void serial_close();

bool serial_is_open();

}  // namespace xarveld
