// xarveld-ledger-cost LOCATION [BOARDS]: the ledger's time per board as a station spends it,
// through the station's own ledger calls: reserve a number, settle it as used, and put the
// attempt's row in with a record line of a usual length. Prints the median, the 95th percentile
// and the mean in milliseconds; bench/station runs it on SQLite and on a local PostgreSQL.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"
#include "station/os/host.hpp"

using namespace xarveld::station;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xarveld-ledger-cost LOCATION [BOARDS]\n");
    return 2;
  }
  int boards = argc > 2 ? std::atoi(argv[2]) : 300;
  std::string error;
  LedgerStation station{random_id(), "bench", getpid()};
  if (ledger_open(argv[1], station, error) != LedgerStatus::Ok ||
      ledger_define_pool({"bench", 1, 1000000000}, error) != LedgerStatus::Ok) {
    std::fprintf(stderr, "xarveld-ledger-cost: %s\n", error.c_str());
    return 2;
  }
  LedgerAttemptRow row;
  row.station_id = station.id;
  row.host = "bench";
  row.slot = "s1";
  row.result = "PASS";
  row.exit_status = 0;
  row.pool = "bench";
  row.has_serial = true;
  row.image_sha256 = std::string(64, 'a');
  row.image_sha256_burnt = std::string(64, 'b');
  row.record_json.assign(1400, 'x');  // about a record line's length
  std::vector<double> ms;
  for (int i = 0; i < boards; ++i) {
    auto start = std::chrono::steady_clock::now();
    row.attempt_id = random_id();
    std::uint64_t serial = 0;
    std::vector<LapsedNumber> lapsed;
    bool done = ledger_reserve({"bench", row.attempt_id, row.slot, i + 1, 1}, serial, lapsed,
                               error) == LedgerStatus::Ok &&
                ledger_settle("bench", serial, row.attempt_id, SerialState::Used, error) ==
                    LedgerStatus::Ok;
    row.serial = serial;
    done = done && ledger_record_attempt(row, error) == LedgerStatus::Ok;
    if (!done) {
      std::fprintf(stderr, "xarveld-ledger-cost: %s\n", error.c_str());
      return 2;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  ledger_close();
  double mean = 0;
  for (double m : ms) mean += m / boards;
  std::sort(ms.begin(), ms.end());
  std::printf("%d boards: median %.2f ms, p95 %.2f ms, mean %.2f ms per board\n", boards,
              ms[ms.size() / 2], ms[ms.size() * 95 / 100], mean);
  return 0;
}
