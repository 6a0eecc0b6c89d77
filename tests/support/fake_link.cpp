#include "tests/support/fake_link.hpp"

#include <algorithm>
#include <cstring>
#include <deque>

#include "link/clock.hpp"
#include "link/serial_port.hpp"

namespace xarveld::fake {

namespace {
struct ScriptedRead {
  bool ok = true;
  Bytes bytes;
  std::uint64_t after_ms = 0;  // arrives this long after the read that finds it starts waiting
};

bool port_open = true;
bool reads_fail = false;
bool writes_stuck = false;
bool writes_gone = false;
std::size_t output_discards = 0;
std::deque<ScriptedRead> scripted_reads;
std::function<void(const Bytes&)> peer;
std::vector<Bytes> written;
std::size_t read_count = 0;
std::size_t failed_read_count = 0;
std::uint64_t clock_now = 1000000000;
const std::string description = "COM1 (fake)";
}  // namespace

void reset() {
  port_open = true;
  reads_fail = false;
  writes_stuck = false;
  writes_gone = false;
  output_discards = 0;
  scripted_reads.clear();
  peer = nullptr;
  written.clear();
  read_count = 0;
  failed_read_count = 0;
  clock_now = 1000000000;
}

void set_port_open(bool open) { port_open = open; }
void queue_read(const Bytes& bytes) { scripted_reads.push_back({true, bytes}); }
void queue_read_after(std::uint64_t milliseconds, const Bytes& bytes) {
  scripted_reads.push_back({true, bytes, milliseconds});
}
void set_reads_fail(bool fail) { reads_fail = fail; }
void set_writes_stuck(bool stuck) { writes_stuck = stuck; }
void set_writes_gone(bool gone) { writes_gone = gone; }
std::size_t output_discards_made() { return output_discards; }
void queue_failed_read() { scripted_reads.push_back({false, {}}); }
void set_peer(std::function<void(const Bytes&)> new_peer) { peer = std::move(new_peer); }
const std::vector<Bytes>& frames_written() { return written; }
std::size_t reads_made() { return read_count; }
std::size_t failed_reads_made() { return failed_read_count; }
std::uint64_t now() { return clock_now; }
void advance_clock_ms(std::uint64_t milliseconds) {
  clock_now += milliseconds * TICKS_PER_MILLISECOND;
}

}  // namespace xarveld::fake

namespace xarveld {

using namespace xarveld::fake;

void serial_open(const std::string&, std::uint32_t) { port_open = true; }

int serial_read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) {
  return serial_read_within(buffer, capacity, count, SERIAL_READ_INTERVAL_MS);
}

int serial_read_within(std::uint8_t* buffer, std::size_t capacity, std::size_t* count,
                       std::uint32_t wait_ms) {
  ++read_count;
  *count = 0;
  if (scripted_reads.empty() && reads_fail) {
    ++failed_read_count;
    return 0;
  }
  if (scripted_reads.empty()) {
    advance_clock_ms(wait_ms);
    return 1;
  }
  if (scripted_reads.front().after_ms > wait_ms) {
    scripted_reads.front().after_ms -= wait_ms;
    advance_clock_ms(wait_ms);
    return 1;
  }
  ScriptedRead read = std::move(scripted_reads.front());
  scripted_reads.pop_front();
  advance_clock_ms(read.after_ms);
  if (!read.ok) {
    ++failed_read_count;
    return 0;
  }
  if (read.bytes.empty()) {
    advance_clock_ms(wait_ms);
    return 1;
  }
  // A scripted piece longer than one read is served over several reads.
  std::size_t served = std::min(capacity, read.bytes.size());
  std::memcpy(buffer, read.bytes.data(), served);
  *count = served;
  if (served < read.bytes.size()) {
    scripted_reads.push_front({true, Bytes(read.bytes.begin() + static_cast<long>(served),
                                           read.bytes.end())});
  }
  return 1;
}

int serial_write(const std::uint8_t* bytes, std::size_t length) {
  written.emplace_back(bytes, bytes + length);
  if (writes_stuck) return SERIAL_WRITE_STUCK;
  if (writes_gone) return SERIAL_WRITE_GONE;
  if (peer) peer(written.back());
  return SERIAL_WRITE_DONE;
}

void serial_discard_output() { ++output_discards; }
void serial_close() { port_open = false; }
bool serial_is_open() { return port_open; }
const std::string& serial_port_description() { return description; }

std::uint64_t clock_ticks() { return clock_now; }

}  // namespace xarveld
