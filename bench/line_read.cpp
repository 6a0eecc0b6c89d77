// xarveld-line-read LOCATION [ROUNDS]: what one reading of the line's page costs, the one the
// line makes once a second, through xarveld-line's own code on a ledger opened read-only as it
// opens it: after a new attempt (the shift's view and Pareto, and its yield per host, which
// reads every attempt of the shift's boards) and after none (the yield kept). Prints each one's
// median and maximum in milliseconds and what it found; bench/line-read runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"
#include "station/line/line_read.hpp"
#include "station/os/utc_time.hpp"

using namespace xarveld::station;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xarveld-line-read LOCATION [ROUNDS]\n");
    return 2;
  }
  int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  std::string error;
  if (ledger_open(argv[1], LedgerStation{}, LedgerAccess::ReadOnly, error) != LedgerStatus::Ok) {
    std::fprintf(stderr, "xarveld-line-read: %s\n", error.c_str());
    return 2;
  }
  // A reading after a new attempt reads the yield again; one after none keeps the last.
  std::vector<double> fresh;
  std::vector<double> quiet;
  LineReading reading;
  for (int i = 0; i < 2 * rounds; ++i) {
    LineReading last = i % 2 == 1 ? reading : LineReading();
    auto start = std::chrono::steady_clock::now();
    reading = LineReading();
    LedgerStatus status = line_read_view(now_unix_ms(), reading, error);
    if (status == LedgerStatus::Ok && line_yield_due(last, reading, now_unix_ms())) {
      status = line_read_yield(now_unix_ms(), reading, error);
    } else {
      reading.hosts = last.hosts;
    }
    if (status != LedgerStatus::Ok) {
      std::fprintf(stderr, "xarveld-line-read: %s\n", error.c_str());
      return 2;
    }
    (i % 2 == 1 ? quiet : fresh).push_back(std::chrono::duration<double, std::milli>(
        std::chrono::steady_clock::now() - start).count());
  }
  std::sort(fresh.begin(), fresh.end());
  std::sort(quiet.begin(), quiet.end());
  std::uint64_t boards = 0;
  for (const YieldRow& row : reading.hosts) boards += row.boards;
  std::printf("medians %.1f ms after a new attempt, %.1f after none (max %.1f, %.1f)\n"
              "            %zu stations, %llu boards this shift, %zu failures, %d rounds\n",
              fresh[fresh.size() / 2], quiet[quiet.size() / 2], fresh.back(), quiet.back(),
              reading.view.stations.size(), static_cast<unsigned long long>(boards),
              reading.view.failures.size(), rounds);
  ledger_close();
  return 0;
}
