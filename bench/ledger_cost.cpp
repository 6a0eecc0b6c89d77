// xarveld-ledger-cost LOCATION [BOARDS [--each]]: the ledger's time per board as a station
// spends it, through the station's own ledger calls: reserve a number, settle it as used, put
// the attempt's row in with a record line of a usual length, renew the lease and read the
// serials left. Prints each call's median and 95th percentile, and the board's median, 95th
// percentile and mean, in milliseconds; with --each, a line per board of the five calls' times
// and their sum instead, for a script to gather several runs. bench/station runs it on SQLite
// and on a local PostgreSQL; bench/ledger-growth on a fresh ledger and on one with ten million
// numbers, in turn.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"
#include "station/os/host.hpp"

using namespace xarveld::station;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 5> CALLS = {"reserve", "settle", "attempt row", "renew",
                                              "serials left"};

double since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double at(std::vector<double> ms, std::size_t percent) {
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() * percent / 100];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: xarveld-ledger-cost LOCATION [BOARDS [--each]]\n");
    return 2;
  }
  int boards = argc > 2 ? std::atoi(argv[2]) : 300;
  if (boards < 1) boards = 1;
  bool each = argc > 3 && std::string(argv[3]) == "--each";
  std::string error;
  LedgerStation station{random_id(), "bench", getpid()};
  // A ledger of its own, made here: the cost of a fresh ledger.
  if (ledger_open(argv[1], station, LedgerAccess::Create, error) != LedgerStatus::Ok ||
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
  std::array<std::vector<double>, CALLS.size()> call_ms;
  std::vector<double> board_ms;
  for (int i = 0; i < boards; ++i) {
    row.attempt_id = random_id();
    row.board = i + 1;
    row.attempt = 1;
    std::uint64_t serial = 0;
    std::uint64_t left = 0;
    std::vector<LapsedNumber> lapsed;
    std::array<double, CALLS.size()> ms{};
    auto start = Clock::now();
    bool done = ledger_reserve({"bench", row.attempt_id, row.slot, row.board, row.attempt}, serial,
                               lapsed, error) == LedgerStatus::Ok;
    ms[0] = since(start);
    auto step = Clock::now();
    done = done && ledger_settle("bench", serial, row.attempt_id, SerialState::Used, error) ==
                       LedgerStatus::Ok;
    ms[1] = since(step);
    row.serial = serial;
    step = Clock::now();
    done = done && ledger_record_attempt(row, error) == LedgerStatus::Ok;
    ms[2] = since(step);
    step = Clock::now();
    done = done && ledger_renew_lease(error) == LedgerStatus::Ok;
    ms[3] = since(step);
    step = Clock::now();
    done = done && ledger_serials_left("bench", left, error) == LedgerStatus::Ok;
    ms[4] = since(step);
    board_ms.push_back(since(start));
    if (!done) {
      std::fprintf(stderr, "xarveld-ledger-cost: %s\n", error.c_str());
      return 2;
    }
    for (std::size_t c = 0; c < CALLS.size(); ++c) call_ms[c].push_back(ms[c]);
    if (each) {
      std::printf("%.4f %.4f %.4f %.4f %.4f %.4f\n", ms[0], ms[1], ms[2], ms[3], ms[4],
                  board_ms.back());
    }
  }
  ledger_close();
  if (each) return 0;
  double mean = 0;
  for (double m : board_ms) mean += m / boards;
  std::printf("%d boards: median %.2f ms, p95 %.2f ms, mean %.2f ms per board\n", boards,
              at(board_ms, 50), at(board_ms, 95), mean);
  for (std::size_t c = 0; c < CALLS.size(); ++c) {
    std::printf("  %-12s median %.3f ms, p95 %.3f ms\n", CALLS[c], at(call_ms[c], 50),
                at(call_ms[c], 95));
  }
  return 0;
}
