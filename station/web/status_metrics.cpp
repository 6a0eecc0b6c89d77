#include "station/web/status_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace xarveld::station {

namespace {

// The length of the UTF-8 character at text[at], or 0 when the bytes there are not one.
std::size_t utf8_length(const std::string& text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                       : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and past U+10FFFF are no characters either.
  if (length == 2 && lead < 0xC2) return 0;
  if (length == 3 && lead == 0xE0 && byte(at + 1) < 0xA0) return 0;
  if (length == 3 && lead == 0xED && byte(at + 1) >= 0xA0) return 0;
  if (length == 4 && (lead > 0xF4 || (lead == 0xF0 && byte(at + 1) < 0x90) ||
                      (lead == 0xF4 && byte(at + 1) >= 0x90))) {
    return 0;
  }
  return length;
}

// A label's value as the format quotes it. A slot's name is the operator's text: a byte that
// is not UTF-8 would make the scraper refuse the whole page, so it becomes U+FFFD.
std::string label_value(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = utf8_length(text, at);
    if (length == 0) {
      quoted += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    char c = text[at];
    if (c == '\\') {
      quoted += "\\\\";
    } else if (c == '"') {
      quoted += "\\\"";
    } else if (c == '\n') {
      quoted += "\\n";
    } else {
      quoted.append(text, at, length);
    }
    at += length;
  }
  return quoted + "\"";
}

// Integers as themselves; others in the shortest form that reads back the same.
std::string number(double value) {
  // %g would give 10 as 1e+01, which reads back but is not how a bucket's bound is named.
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(value));
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

void family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n";
  text += std::string("# TYPE ") + name + " " + type + "\n";
}

void sample(std::string& text, const std::string& name, const std::string& labels,
            const std::string& value) {
  text += name;
  if (!labels.empty()) text += "{" + labels + "}";
  text += " " + value + "\n";
}

}  // namespace

SlotMetrics slot_metrics(const std::string& slot) {
  SlotMetrics metrics;
  metrics.slot = slot;
  metrics.attempts.push_back({true, "", 0});
  return metrics;
}

void count_attempt(SlotMetrics& slot, bool passed, const std::string& reason_code,
                   double seconds) {
  const std::string code = passed ? "" : reason_code;
  auto same = [&](const AttemptCount& c) { return c.passed == passed && c.reason_code == code; };
  auto found = std::find_if(slot.attempts.begin(), slot.attempts.end(), same);
  if (found == slot.attempts.end()) {
    // Kept in the order they are shown: passed first, then the codes in order.
    auto before = std::find_if(slot.attempts.begin(), slot.attempts.end(),
                               [&](const AttemptCount& c) {
                                 return !c.passed && (passed || c.reason_code > code);
                               });
    found = slot.attempts.insert(before, {passed, code, 0});
  }
  found->attempts += 1;
  std::size_t bucket = 0;
  while (bucket < DURATION_BUCKETS.size() && seconds > DURATION_BUCKETS[bucket]) ++bucket;
  slot.durations[bucket] += 1;
  slot.seconds += seconds;
}

std::string metrics_text(const StationMetrics& metrics, const ProcessFacts& process) {
  std::string text;
  family(text, "xarveld_station_up", "gauge", "1 while the station runs.");
  sample(text, "xarveld_station_up", "", "1");

  const char* attempts = "xarveld_station_attempts_total";
  family(text, attempts, "counter",
         "Attempts ended, by slot, result (pass or fail) and reason code (empty on pass).");
  for (const SlotMetrics& slot : metrics.slots) {
    for (const AttemptCount& count : slot.attempts) {
      sample(text, attempts,
             "slot=" + label_value(slot.slot) + ",result=\"" + (count.passed ? "pass" : "fail") +
                 "\",reason_code=" + label_value(count.reason_code),
             std::to_string(count.attempts));
    }
  }

  const std::string duration = "xarveld_station_attempt_duration_seconds";
  family(text, duration.c_str(), "histogram", "How long attempts took, by slot.");
  for (const SlotMetrics& slot : metrics.slots) {
    const std::string name = "slot=" + label_value(slot.slot);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= DURATION_BUCKETS.size(); ++i) {
      cumulative += slot.durations[i];
      std::string le = i < DURATION_BUCKETS.size() ? number(DURATION_BUCKETS[i]) : "+Inf";
      sample(text, duration + "_bucket", name + ",le=\"" + le + "\"", std::to_string(cumulative));
    }
    sample(text, duration + "_sum", name, number(slot.seconds));
    sample(text, duration + "_count", name, std::to_string(cumulative));
  }

  family(text, "xarveld_station_boards_in_progress", "gauge", "Boards being burnt now.");
  sample(text, "xarveld_station_boards_in_progress", "",
         std::to_string(metrics.boards_in_progress));
  if (metrics.serials_left) {
    family(text, "xarveld_station_serials_left", "gauge",
           "Serial numbers the pool has left to hand out, as the ledger last said.");
    sample(text, "xarveld_station_serials_left", "pool=" + label_value(metrics.pool),
           std::to_string(*metrics.serials_left));
  }
  family(text, "xarveld_station_ledger_writes_pending", "gauge",
         "Writes waiting for the ledger to take them.");
  sample(text, "xarveld_station_ledger_writes_pending", "",
         std::to_string(metrics.ledger_writes_pending));

  if (process.start_unix_seconds) {
    family(text, "process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
    sample(text, "process_start_time_seconds", "", number(*process.start_unix_seconds));
  }
  if (process.cpu_seconds) {
    family(text, "process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.");
    sample(text, "process_cpu_seconds_total", "", number(*process.cpu_seconds));
  }
  if (process.resident_bytes) {
    family(text, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    sample(text, "process_resident_memory_bytes", "", std::to_string(*process.resident_bytes));
  }
  if (process.open_files) {
    family(text, "process_open_fds", "gauge", "Number of open file descriptors.");
    sample(text, "process_open_fds", "", std::to_string(*process.open_files));
  }
  return text;
}

}  // namespace xarveld::station
