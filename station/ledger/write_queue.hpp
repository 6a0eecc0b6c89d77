#pragma once
// The station's side of the ledger: what each board's number is and where it goes in the image,
// the attempt's id, the writes the ledger could not take yet, and the report. The ledger itself
// (station/ledger/) keeps the numbers' states; this keeps only what waits to be written.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"
#include "station/attempt/serial_field.hpp"

namespace xarveld::station {

// What a station does with the ledger, fixed at the start.
struct LedgerPlan {
  bool open = false;      // --ledger or serial numbers: every attempt goes into the ledger
  bool numbered = false;  // --serial-at: every board gets a number
  std::string location;
  std::string station_id;
  std::string pool;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t offset = 0;
  SerialFormat format;
  std::string base_image;  // the image's bytes, as its read-only copy holds them
};

// One attempt's id and, with numbers, the number it burns.
struct AttemptStamp {
  std::string id;
  bool has_serial = false;
  std::uint64_t serial = 0;
};

// 128 bits of the system's random source as 32 hex digits.
std::string random_id();

// The image with number written at the plan's offset. Pure.
std::string numbered_image(const LedgerPlan& plan, std::uint64_t number);

// Writes the numbered image into directory as image-NUMBER.bin, read-only, and takes its
// SHA-256. Returns 1 with its absolute name in path, or 0 with why in error.
int write_numbered_image(const LedgerPlan& plan, std::uint64_t number, const std::string& directory,
                         std::string& path, std::string& sha256, std::string& error);

// A write the ledger has yet to take: a number's settling, or an attempt's row.
struct LedgerWrite {
  bool settle = false;
  std::string pool;
  std::uint64_t serial = 0;
  SerialState to = SerialState::Spoiled;
  LedgerAttemptRow row;
  std::string what;  // for the operator: "slot a board 3 attempt 1"
};

using LedgerClock = std::chrono::steady_clock;

// While the ledger cannot be reached: the writes in the order made, and when to try again. The
// wait between tries doubles from 1 s to 30 s and starts again at 1 s once the ledger answers.
struct LedgerQueue {
  std::vector<LedgerWrite> pending;
  bool backing_off = false;
  LedgerClock::time_point retry_at;
  std::chrono::milliseconds delay{1000};
  std::string last_error;
};

// The ledger could not be reached: the next try waits.
void ledger_back_off(LedgerQueue& queue, LedgerClock::time_point now, const std::string& error);
// It answered: the next wait starts short again.
void ledger_reached(LedgerQueue& queue);
// Whether a call may be made now (no wait under way).
bool ledger_may_try(const LedgerQueue& queue, LedgerClock::time_point now);

// Writes write now, or queues it behind the writes that wait. Returns "" when it went in, else
// why (it waits, or the ledger refused it for good).
std::string ledger_write(LedgerQueue& queue, const LedgerWrite& write, LedgerClock::time_point now);

// Tries the waiting writes in order, up to the first the ledger cannot take. Writes the ledger
// refuses for good are dropped, their reasons added to refused.
void ledger_flush(LedgerQueue& queue, LedgerClock::time_point now, std::vector<std::string>& refused);

// The report: a plain table of the pools' counts, and the uses as CSV with a header.
std::string render_pool_table(const std::vector<PoolReport>& pools);
std::string render_uses_csv(const std::vector<SerialUse>& uses);
// One CSV field: quoted, with its quotes doubled, when it holds a comma, a quote, CR or LF, or
// begins or ends with a space.
std::string csv_field(const std::string& text);

}  // namespace xarveld::station
