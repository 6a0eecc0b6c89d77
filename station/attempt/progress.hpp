#pragma once
// The tool's own progress marks, read from its standard output as any user sees them: the phase
// messages, "." per KiB while loading and burning, "\r%06x" while verifying, "Done!", and the
// fixed failure messages. A pure function of the bytes, fed in pieces as they arrive.
#include <cstdint>
#include <string>
#include <string_view>

namespace xarveld::station {

enum class Phase { Connecting, Driver, Burning, Verifying, Closed };

struct Progress {
  Phase phase = Phase::Connecting;
  std::uint32_t marks = 0;         // "." marks of the driver load or the burn so far
  std::uint32_t verify_offset = 0; // the last "\r%06x" of the verification
  bool verify_offset_seen = false;
  bool phase_done = false;         // "Done!" or "Verification Successful" ended the phase
  bool block_sent = false;         // a mark came: a block of the driver or the image may be out
  bool port_not_opened = false;    // "Could not open serial port!"
  bool connection_timed_out = false;
  bool read_error = false;         // "Serial Read Error = 0": the port vanished
  std::string line;                // the text since the last CR or LF
  std::string last_line;           // the last line that held any text
  std::string last_words;          // the same, a verification's offset never
};

void progress_feed(Progress& progress, std::string_view bytes);

// The tool's last line of output, the line in progress included when it holds text.
std::string progress_last_line(const Progress& progress);

// The tool's last words, as a person reads them: the same line without the progress marks of a
// phase ("Burning flash." for a burn that never ended), and never a verification's offset.
std::string progress_message(const Progress& progress);

// How far the current phase has come, in bytes of its image, given the sizes of the driver
// (0 without -l) and the image: a mark is printed before its KiB goes out, so the KiB of the
// latest mark is not counted as done.
std::uint64_t progress_bytes_done(const Progress& progress, std::uint64_t driver_size,
                                  std::uint64_t image_size);
// The bytes the current phase moves in all: the driver less its first 2048 bytes, which are
// never sent, or the image.
std::uint64_t progress_bytes_total(const Progress& progress, std::uint64_t driver_size,
                                   std::uint64_t image_size);

const char* phase_name(Phase phase);

}  // namespace xarveld::station
