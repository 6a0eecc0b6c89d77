#pragma once
// Link-time stand-ins for the serial port and the clock. The port plays back scripted reads and
// hands every frame written to an optional peer, which may script the answers; an empty read
// advances the clock by the time it would have waited, as a silent line would, so a 20-second
// wait takes microseconds and is exact.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace xarveld::fake {

using Bytes = std::vector<std::uint8_t>;

// Opened, nothing scripted, nothing written, no peer, clock at 1,000,000,000 ticks.
void reset();

void set_port_open(bool open);
// Appends one read returning bytes (served in order, before any unscripted read). An empty one
// is a read that waited the whole read interval.
void queue_read(const Bytes& bytes);
// Appends bytes that arrive milliseconds after the read that finds them first starts waiting;
// reads that give up sooner return nothing.
void queue_read_after(std::uint64_t milliseconds, const Bytes& bytes);
// Unscripted reads fail from now on, as on a line that has gone away.
void set_reads_fail(bool fail);
// Appends one failed read.
void queue_failed_read();
// Writes fail from now on, as on a line that has stopped taking data (the frame is still seen).
void set_writes_stuck(bool stuck);
// Writes fail from now on as on a device that went away (the frame is still seen).
void set_writes_gone(bool gone);
// Called with every frame written; may call queue_read to answer it.
void set_peer(std::function<void(const Bytes& frame)> peer);

const std::vector<Bytes>& frames_written();
std::size_t reads_made();
std::size_t failed_reads_made();
// How often unsent output was discarded.
std::size_t output_discards_made();

std::uint64_t now();
void advance_clock_ms(std::uint64_t milliseconds);

}  // namespace xarveld::fake
