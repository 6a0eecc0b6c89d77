#pragma once
// The station's counts for the plant's monitoring, as /metrics serves them in Prometheus' text
// format (0.0.4). The station keeps the counts in plain structs and counts each attempt where
// it ends; the text is made from them here. Pure.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/os/process_facts.hpp"

namespace xarveld::station {

// The upper bounds, in seconds, of the attempts' duration buckets: a burn takes from about a
// second to the minutes of a large part at a slow rate; --timeout ends the rest.
constexpr std::array<double, 10> DURATION_BUCKETS = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};

struct AttemptCount {
  bool passed = false;
  std::string reason_code;  // empty when passed
  std::uint64_t attempts = 0;
};

struct SlotMetrics {
  std::string slot;  // as the operator named it: any text
  // Passed first, then the failures by code, each kept once.
  std::vector<AttemptCount> attempts;
  // Attempts within each bucket of DURATION_BUCKETS and not a smaller one; the last, beyond all.
  std::array<std::uint64_t, DURATION_BUCKETS.size() + 1> durations{};
  double seconds = 0;  // of every attempt
};

struct StationMetrics {
  std::vector<SlotMetrics> slots;
  std::uint64_t boards_in_progress = 0;
  std::string pool;                          // with serial numbers
  std::optional<std::int64_t> serials_left;  // with serial numbers, as the ledger last said
  std::uint64_t ledger_writes_pending = 0;
};

// A slot's counts before its first attempt: passed at 0, so that a rate has a start.
SlotMetrics slot_metrics(const std::string& slot);

// An attempt has ended.
void count_attempt(SlotMetrics& slot, bool passed, const std::string& reason_code, double seconds);

// The exposition: HELP and TYPE of each family, then its samples, slots in the station's order.
std::string metrics_text(const StationMetrics& metrics, const ProcessFacts& process);

// Prometheus' content type for the text.
constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace xarveld::station
