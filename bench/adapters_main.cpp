// xarveld-adapters: the time to program and verify 1 MiB through a USB serial adapter whose
// latency timer is 1 ms or 16 ms, at 19200, 57600 and 115200 baud, in raw and yEnc framing, each
// also as a share of the line's limit. Runs the tool against the simulated target paced at the
// baud rate (--pace) with the adapter's latency (--latency).
//
//   xarveld-adapters --tool PATH --sim PATH --work DIR [--kib N] [--jobs N]
//
// bench/README.md says how the figures are taken.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.hpp"
#include "bench/wire_analysis.hpp"
#include "link/packet.hpp"
#include "sim/line_timing.hpp"

namespace xarveld::bench {

namespace {

constexpr std::size_t KIB = 1024;
constexpr std::size_t TARGET_BYTES = 1024 * KIB;
constexpr std::uint32_t BAUDS[] = {19200, 57600, 115200};
constexpr std::uint32_t LATENCIES_MS[] = {1, 16};
// The simulator discards a finished session's unread answers 100 ms after the last one.
constexpr double SETTLE_SECONDS = 0.15;
// The cell measured again at 4 times the size, to show that the time grows linearly.
constexpr std::size_t LINEAR_FACTOR = 4;

struct Settings {
  std::string tool, sim, work;
  std::size_t kib = 16;
  int jobs = 2;
};

struct Cell {
  bool yenc = false;
  std::uint32_t baud = 0;
  std::uint32_t latency_ms = 0;
  std::size_t image_bytes = 0;
  bool checksum = true;  // also run -x
  std::string image;
};

enum Op { PROGRAM, VERIFY_DATA, VERIFY_SUM, OP_COUNT };
constexpr std::uint16_t SELECTORS[OP_COUNT] = {OP_PROGRAM_FLASH, OP_VERIFY_DATA,
                                               OP_VERIFY_CHECKSUM};
constexpr std::size_t BLOCK_BYTES[OP_COUNT] = {32, 32, 1024};

struct OpFigure {
  bool found = false;
  double seconds = 0;        // from the first byte of CMD_BEGIN to the last answer at the tool
  double line_seconds = 0;   // the same bytes back to back on the line
  std::size_t exchanges = 0;
};

struct CellResult {
  std::string error;
  OpFigure ops[OP_COUNT];
  double wall_seconds = 0;
};

std::string cell_label(const Cell& cell) {
  return std::string(cell.yenc ? "yenc" : "raw") + "-" + std::to_string(cell.baud) + "-" +
         std::to_string(cell.latency_ms) + "ms-" + std::to_string(cell.image_bytes / KIB) + "k";
}

// The wire log times an answer by its bytes on the line; the tool has it only once the adapter
// passes on the last of them, up to a latency timer later.
double last_answer_hold_seconds(std::size_t bytes, std::uint32_t baud, std::uint32_t latency_ms) {
  if (bytes == 0) return 0;
  std::int64_t byte_ns = sim::byte_time_ns(baud);
  std::int64_t latency_ns = static_cast<std::int64_t>(latency_ms) * 1000000;
  sim::AdapterBuffer buffer;
  sim::adapter_receive(buffer, bytes, 0, byte_ns, latency_ns);
  if (buffer.held == 0) return 0;
  std::int64_t last_arrived = static_cast<std::int64_t>(bytes - 1) * byte_ns;
  return static_cast<double>(sim::adapter_deadline(buffer, latency_ns) - last_arrived) / 1e9;
}

// Two runs against one simulator: -p -v, then -x (the device programmed by the first).
CellResult run_cell(const Settings& settings, const std::string& driver, const Cell& cell) {
  CellResult result;
  double start = monotonic_seconds();
  std::string dir = settings.work + "/" + cell_label(cell);
  mkdir(dir.c_str(), 0755);
  std::string wire_path = dir + "/wire.log";
  SimProcess sim;
  std::string baud = std::to_string(cell.baud);
  if (!start_sim({settings.sim, "--dir", dir, "--serve-forever", "--pace", baud, "--latency",
                  std::to_string(cell.latency_ms), "--wire", wire_path},
                 dir, sim, result.error)) {
    return result;
  }
  std::vector<std::string> head = {settings.tool};
  if (cell.yenc) head.insert(head.end(), {"-l", driver});
  head.insert(head.end(), {"-b", baud});
  std::vector<std::vector<std::string>> runs = {head, head};
  runs[0].insert(runs[0].end(), {"-p", "-v", cell.image});
  runs[1].insert(runs[1].end(), {"-x", cell.image});
  if (!cell.checksum) runs.pop_back();
  for (std::size_t i = 0; i < runs.size() && result.error.empty(); ++i) {
    std::string out = dir + "/out-" + std::to_string(i + 1) + ".txt";
    RunResult run = run_child(runs[i], dir, out, 0);
    if (run.exit_status != 0) {
      result.error = "the tool ended with status " + std::to_string(run.exit_status) + " (see " +
                     out + ")";
    }
    pause_seconds(SETTLE_SECONDS);
  }
  stop_sim(sim);
  result.wall_seconds = monotonic_seconds() - start;
  if (!result.error.empty()) return result;

  double byte_ms = 10.0 * 1000 / cell.baud;
  for (const Phase& phase : find_phases(parse_wire_log(read_file(wire_path)), byte_ms)) {
    for (int op = 0; op < OP_COUNT; ++op) {
      if (phase.selector != SELECTORS[op]) continue;
      OpFigure& figure = result.ops[op];
      figure.found = true;
      figure.seconds = (phase.last_byte_ms - phase.first_byte_ms) / 1000 +
                       last_answer_hold_seconds(phase.last_answer_bytes, cell.baud,
                                                cell.latency_ms);
      figure.line_seconds = ideal_seconds(phase.line_bytes, cell.baud);
      figure.exchanges = phase.commands;
    }
  }
  return result;
}

std::size_t exchanges_for(std::size_t bytes, int op) {
  return (bytes + BLOCK_BYTES[op] - 1) / BLOCK_BYTES[op] + 1;  // the blocks and CMD_BEGIN
}

// Every exchange of an operation costs about the same, so a measured operation scales to 1 MiB
// by the number of exchanges.
double scaled_seconds(double seconds, const OpFigure& figure, int op) {
  return seconds * static_cast<double>(exchanges_for(TARGET_BYTES, op)) /
         static_cast<double>(figure.exchanges);
}

std::string duration(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 100 ? "%.1f s" : "%.0f s", seconds);
  return text;
}

std::string share(const OpFigure& figure) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f %%", 100 * figure.line_seconds / figure.seconds);
  return text;
}

void print_table(const std::vector<Cell>& cells, const std::vector<CellResult>& results) {
  std::printf("\nTime for 1 MiB (measured on %zu KiB, scaled by the number of exchanges), and the "
              "line's limit as a share of it:\n\n",
              cells.empty() ? 0 : cells[0].image_bytes / KIB);
  std::printf("| framing | baud   | latency timer | -p      | of limit | -v      | of limit "
              "| -x      | of limit |\n");
  std::printf("| ------- | ------ | ------------- | ------- | -------- | ------- | -------- "
              "| ------- | -------- |\n");
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Cell& cell = cells[i];
    if (!cell.checksum) continue;
    std::printf("| %-7s | %-6u | %2u ms         ", cell.yenc ? "yEnc" : "raw", cell.baud,
                cell.latency_ms);
    for (int op = 0; op < OP_COUNT; ++op) {
      const OpFigure& figure = results[i].ops[op];
      if (!figure.found) {
        std::printf("| %-7s | %-8s ", "-", "-");
        continue;
      }
      std::printf("| %-7s | %-8s ", duration(scaled_seconds(figure.seconds, figure, op)).c_str(),
                  share(figure).c_str());
    }
    std::printf("|\n");
  }
}

void print_linearity(const std::vector<Cell>& cells, const std::vector<CellResult>& results) {
  const Cell* small = nullptr;
  const CellResult* small_result = nullptr;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (cells[i].checksum) continue;
    for (std::size_t j = 0; j < cells.size(); ++j) {
      if (cells[j].checksum && cells[j].yenc == cells[i].yenc &&
          cells[j].baud == cells[i].baud && cells[j].latency_ms == cells[i].latency_ms) {
        small = &cells[j];
        small_result = &results[j];
      }
    }
    if (small == nullptr) return;
    std::printf("\nLinear in the size: %s, %u baud, %u ms, %zu KiB against %zu KiB:",
                cells[i].yenc ? "yEnc" : "raw", cells[i].baud, cells[i].latency_ms,
                cells[i].image_bytes / KIB, small->image_bytes / KIB);
    for (int op : {PROGRAM, VERIFY_DATA}) {
      const OpFigure& large = results[i].ops[op];
      const OpFigure& base = small_result->ops[op];
      if (!large.found || !base.found) continue;
      std::printf(" %s %.3f s / %.3f s = %.3f (exchanges %.3f);", op == PROGRAM ? "-p" : "-v",
                  large.seconds, base.seconds, large.seconds / base.seconds,
                  static_cast<double>(large.exchanges) / static_cast<double>(base.exchanges));
    }
    std::printf("\n");
  }
}

// A rough line time of a cell, to start the longest first and keep the jobs evenly busy.
double expected_seconds(const Cell& cell) {
  double exchanges = static_cast<double>(cell.image_bytes) / 32;
  return 2 * exchanges * (42.0 * 10 / cell.baud + cell.latency_ms / 1000.0);
}

int usage() {
  std::fprintf(stderr, "usage: xarveld-adapters --tool PATH --sim PATH --work DIR [--kib N] "
                       "[--jobs N]\n");
  return 2;
}

bool parse_settings(int argc, char** argv, Settings& settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    std::string value = argv[i + 1];
    if (option == "--tool") {
      settings.tool = value;
    } else if (option == "--sim") {
      settings.sim = value;
    } else if (option == "--work") {
      settings.work = value;
    } else if (option == "--kib") {
      settings.kib = static_cast<std::size_t>(std::max(1, std::atoi(value.c_str())));
    } else if (option == "--jobs") {
      settings.jobs = std::max(1, std::atoi(value.c_str()));
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !settings.tool.empty() && !settings.sim.empty() &&
         !settings.work.empty();
}

}  // namespace

int run_adapters(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, settings)) return usage();
  // A 2048-byte driver: -l connects and switches to yEnc framing but sends no block.
  std::string driver = settings.work + "/drv-2k.bin";
  std::string image = settings.work + "/dev.bin";
  std::string large_image = settings.work + "/dev-large.bin";
  std::size_t image_bytes = settings.kib * KIB;
  if (!write_random_file(driver, 2048, 1) || !write_random_file(image, image_bytes, 2) ||
      !write_random_file(large_image, LINEAR_FACTOR * image_bytes, 3)) {
    std::perror(settings.work.c_str());
    return 2;
  }

  std::vector<Cell> cells;
  for (bool yenc : {false, true}) {
    for (std::uint32_t baud : BAUDS) {
      for (std::uint32_t latency : LATENCIES_MS) {
        cells.push_back({yenc, baud, latency, image_bytes, true, image});
      }
    }
  }
  // The cheapest cell again at 4 times the size.
  cells.push_back({false, 115200, 1, LINEAR_FACTOR * image_bytes, false, large_image});

  std::vector<std::size_t> order(cells.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return expected_seconds(cells[a]) > expected_seconds(cells[b]);
  });

  std::printf("%zu cells, %d at a time, each its own simulator; work directory %s\n",
              cells.size(), settings.jobs, settings.work.c_str());
  std::fflush(stdout);
  std::vector<CellResult> results(cells.size());
  std::atomic<std::size_t> next{0};
  std::mutex print_lock;
  auto worker = [&] {
    for (std::size_t k = next++; k < order.size(); k = next++) {
      std::size_t i = order[k];
      results[i] = run_cell(settings, driver, cells[i]);
      std::lock_guard<std::mutex> lock(print_lock);
      std::printf("  %-22s %6.1f s%s%s\n", cell_label(cells[i]).c_str(),
                  results[i].wall_seconds, results[i].error.empty() ? "" : "  ERROR: ",
                  results[i].error.c_str());
      std::fflush(stdout);
    }
  };
  std::vector<std::thread> workers;
  for (int j = 0; j < settings.jobs; ++j) workers.emplace_back(worker);
  for (std::thread& each : workers) each.join();

  print_table(cells, results);
  print_linearity(cells, results);
  bool failed = std::any_of(results.begin(), results.end(),
                            [](const CellResult& r) { return !r.error.empty(); });
  return failed ? 2 : 0;
}

}  // namespace xarveld::bench

int main(int argc, char** argv) { return xarveld::bench::run_adapters(argc, argv); }
