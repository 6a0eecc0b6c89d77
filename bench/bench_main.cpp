// xarveld-bench: runs the tool, the bare client and the simulated target against each other and
// prints one table of figures, each with its target and whether it was met.
//
//   xarveld-bench --tool PATH --sim PATH --bare PATH --work DIR [--probe PATH] [--rounds N]
//                 [--idle-seconds S] [--only overhead,trace,line,idle,memory]
//
// bench/README.md says what each benchmark does and why it is measured the way it is.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_process.hpp"
#include "bench/wire_analysis.hpp"
#include "link/packet.hpp"

namespace xarveld::bench {

namespace {

constexpr std::uint32_t LINE_BAUD = 115200;
// The simulator discards a finished session's unread answers 100 ms after the last one.
constexpr double SETTLE_SECONDS = 0.15;
constexpr std::size_t KIB = 1024;
constexpr std::size_t MIB = 1024 * KIB;

struct Settings {
  std::string tool, sim, bare, probe, work;
  int rounds = 4;
  double idle_seconds = 20;
  std::vector<std::string> only;
};

struct Row {
  std::string name;
  std::string figure;
  std::string target;
  std::string result;  // "pass", "MISS", "info" or "ERROR"
};

std::vector<Row> table;
bool any_error = false;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

void add_row(const std::string& name, const std::string& figure, const std::string& target,
             bool pass) {
  table.push_back({name, figure, target, pass ? "pass" : "MISS"});
}

void add_info(const std::string& name, const std::string& figure) {
  table.push_back({name, figure, "-", "info"});
}

void add_error(const std::string& name, const std::string& why) {
  table.push_back({name, why, "-", "ERROR"});
  any_error = true;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool wanted(const Settings& settings, const char* name) {
  return settings.only.empty() ||
         std::find(settings.only.begin(), settings.only.end(), name) != settings.only.end();
}

std::string make_dir(const Settings& settings, const std::string& name) {
  std::string path = settings.work + "/" + name;
  mkdir(path.c_str(), 0755);
  return path;
}

// The tool finds its port as COMn in its working directory.
void link_port(const std::string& dir, const SimProcess& sim) {
  std::string link = dir + "/COM1";
  unlink(link.c_str());
  if (symlink(sim.slave_path.c_str(), link.c_str()) != 0) std::perror(link.c_str());
}

struct Images {
  std::string drv_small;  // 2048 bytes: -l connects and switches to yEnc but sends no block
  std::string program;    // 4 MiB
  std::string verify;     // 2 MiB, the first half of program
  std::string checksum;   // 8 MiB, program followed by 4 MiB more
  std::string line;       // 256 KiB
  std::string small;      // 64 KiB
  std::string drv_large;  // 8 MiB
  std::string large;      // 8 MiB
};

bool make_images(const Settings& settings, Images& images) {
  // Images drawn from one seed share their beginnings, so a shorter one verifies against a
  // device programmed with a longer one.
  struct Wanted {
    std::string* path;
    const char* name;
    std::size_t size;
    std::uint64_t seed;
  } files[] = {
      {&images.drv_small, "drv-2k.bin", 2048, 1},
      {&images.program, "dev-4m.bin", 4 * MIB, 2},
      {&images.verify, "dev-2m.bin", 2 * MIB, 2},
      {&images.checksum, "dev-8m-x.bin", 8 * MIB, 2},
      {&images.line, "dev-256k.bin", 256 * KIB, 3},
      {&images.small, "dev-64k.bin", 64 * KIB, 4},
      {&images.drv_large, "drv-8m.bin", 8 * MIB, 5},
      {&images.large, "dev-8m.bin", 8 * MIB, 6},
  };
  for (Wanted& file : files) {
    *file.path = settings.work + "/" + file.name;
    if (!write_random_file(*file.path, file.size, file.seed)) {
      std::perror(file.path->c_str());
      return false;
    }
  }
  return true;
}

// One run of the tool or of the bare client in dir; the output stays in dir/out-<label>.txt.
struct Job {
  std::string label;
  std::vector<std::string> argv;
};

struct JobResult {
  RunResult run;
  double bare_seconds = 0;  // what the bare client measured itself
  std::string probe;        // "<n> <median us> <p90 us> <p99 us>" from the turnaround probe
  bool ok = false;
};

JobResult run_job(const Job& job, const std::string& dir, double stop_after = 0,
                  const std::string& preload = "") {
  JobResult result;
  std::string out_path = dir + "/out-" + job.label + ".txt";
  result.run = run_child(job.argv, dir, out_path, stop_after, preload);
  result.ok = result.run.exit_status == 0;
  std::string out = read_file(out_path);
  // The bare client's one line of stdout: "<seconds> <exchanges>"; a probe's line may come first.
  bool bare = job.argv[0].find("xarveld-bare") != std::string::npos;
  for (std::size_t line = 0; bare && line < out.size(); line = out.find('\n', line) + 1) {
    double seconds = 0;
    long exchanges = 0;
    if (std::sscanf(out.c_str() + line, "%lf %ld", &seconds, &exchanges) == 2) {
      result.bare_seconds = seconds;
      break;
    }
    if (out.find('\n', line) == std::string::npos) break;
  }
  std::size_t probe = out.find("turnaround-probe: ");
  if (probe != std::string::npos) result.probe = out.substr(probe + 18);
  if (!result.ok && !result.run.stopped) {
    std::printf("  %s failed with status %d; its output is in %s\n", job.label.c_str(),
                result.run.exit_status, out_path.c_str());
  }
  pause_seconds(SETTLE_SECONDS);
  return result;
}

bool start_sim_in(const Settings& settings, const std::string& dir,
                  const std::vector<std::string>& options, SimProcess& sim) {
  std::vector<std::string> argv = {settings.sim, "--dir", dir};
  argv.insert(argv.end(), options.begin(), options.end());
  std::string error;
  if (!start_sim(argv, dir, sim, error)) {
    std::printf("  cannot start the simulator: %s\n", error.c_str());
    return false;
  }
  return true;
}

// Runs jobs round after round, in turn forwards and backwards so that drifting load falls on
// the tool and on its yardstick alike. Returns each job's results, one per round.
std::vector<std::vector<JobResult>> run_rounds(const std::vector<Job>& jobs, const std::string& dir,
                                              int rounds) {
  std::vector<std::vector<JobResult>> results(jobs.size());
  for (int round = 0; round < rounds; ++round) {
    std::printf("  round %d/%d:", round + 1, rounds);
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      std::size_t j = round % 2 == 0 ? k : jobs.size() - 1 - k;
      JobResult result = run_job(jobs[j], dir);
      std::printf(" %s %.2fs", jobs[j].label.c_str(),
                  result.bare_seconds > 0 ? result.bare_seconds : result.run.wall_seconds);
      std::fflush(stdout);
      results[j].push_back(result);
    }
    std::printf("\n");
  }
  return results;
}

bool all_ok(const std::vector<JobResult>& results) {
  return std::all_of(results.begin(), results.end(), [](const JobResult& r) { return r.ok; });
}

std::vector<double> walls(const std::vector<JobResult>& results) {
  std::vector<double> values;
  for (const JobResult& r : results) values.push_back(r.run.wall_seconds);
  return values;
}

std::vector<double> cpus(const std::vector<JobResult>& results) {
  std::vector<double> values;
  for (const JobResult& r : results) values.push_back(r.run.user_seconds + r.run.system_seconds);
  return values;
}

// The tool's time for one operation against the bare client's, round by round.
struct Comparison {
  std::string name;
  std::size_t image_bytes = 0;
  std::size_t exchanges = 0;
  std::vector<double> tool_seconds, bare_seconds, tool_cpu, bare_cpu;
};

void report_comparison(const Comparison& c) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < c.tool_seconds.size() && i < c.bare_seconds.size(); ++i) {
    ratios.push_back(c.bare_seconds[i] / c.tool_seconds[i]);
  }
  double ratio = median(ratios);
  double tool = median(c.tool_seconds);
  double bare = median(c.bare_seconds);
  double per_block = 1e6 / static_cast<double>(c.exchanges);
  std::string figure = format(
      "%.3f (tool %.0f KiB/s, %.1f us/block, cpu %.1f us/block; bare %.0f KiB/s, %.1f us/block, "
      "cpu %.1f us/block)",
      ratio, static_cast<double>(c.image_bytes) / KIB / tool, tool * per_block,
      median(c.tool_cpu) * per_block, static_cast<double>(c.image_bytes) / KIB / bare,
      bare * per_block, median(c.bare_cpu) * per_block);
  add_row(c.name, figure, ">= 0.90", ratio >= 0.90);
}

std::size_t blocks(std::size_t bytes, std::size_t block) { return (bytes + block - 1) / block; }

// 1. The tool's throughput against the bare client's on an unpaced line, where only software
// costs time, in yEnc framing (after -l with a 2-KiB driver, the tool's real case) and in raw
// framing. The tool's time for an operation is its run less the median of the same runs without
// the operation (in yEnc framing about 1 s of detection and drain; in both, the process and the
// closing disconnect, whose drain may read for up to 20 ms); the bare client times the operation
// itself, image loading included, as the tool's difference includes it.
void bench_overhead(const Settings& settings, const Images& images, const std::string& dir,
                    const SimProcess& sim) {
  std::printf("\n== 1. per-block overhead against the bare client (unpaced line)\n");
  link_port(dir, sim);
  const std::string& tool = settings.tool;
  const std::string& bare = settings.bare;
  // -v and -x read back device 5: the 8 MiB written here, whose first 4 MiB every -p rewrites
  // with the same bytes.
  JobResult prepared =
      run_job({"prepare", {bare, "COM1", "raw", "program", "5", images.checksum}}, dir);
  if (!prepared.ok) {
    add_error("1 overhead", "the bare client could not program device 5");
    return;
  }

  std::vector<Job> jobs = {
      {"base-yenc", {tool, "-l", images.drv_small, images.program}},
      {"tool-p-yenc", {tool, "-l", images.drv_small, "-p", images.program}},
      {"bare-p-yenc", {bare, "COM1", "yenc", "program", "5", images.program}},
      {"tool-v-yenc", {tool, "-l", images.drv_small, "-v", images.verify}},
      {"bare-v-yenc", {bare, "COM1", "yenc", "verify-data", "5", images.verify}},
      {"tool-x-yenc", {tool, "-l", images.drv_small, "-x", images.checksum}},
      {"bare-x-yenc", {bare, "COM1", "yenc", "verify-checksum", "5", images.checksum}},
      {"base-raw", {tool, images.program}},
      {"tool-p-raw", {tool, "-p", images.program}},
      {"bare-p-raw", {bare, "COM1", "raw", "program", "5", images.program}},
      {"tool-v-raw", {tool, "-v", images.verify}},
      {"bare-v-raw", {bare, "COM1", "raw", "verify-data", "5", images.verify}},
      {"tool-x-raw", {tool, "-x", images.checksum}},
      {"bare-x-raw", {bare, "COM1", "raw", "verify-checksum", "5", images.checksum}},
  };
  std::vector<std::vector<JobResult>> results = run_rounds(jobs, dir, settings.rounds);
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    if (!all_ok(results[j])) {
      add_error("1 overhead", "run " + jobs[j].label + " failed (see " + dir + ")");
      return;
    }
  }
  constexpr std::size_t BASE_YENC = 0, BASE_RAW = 7;
  for (std::size_t base : {BASE_YENC, BASE_RAW}) {
    std::printf("  %s, the same run without the operation: %.3f s, cpu %.3f s\n",
                base == BASE_YENC ? "yEnc" : "raw", median(walls(results[base])),
                median(cpus(results[base])));
  }

  struct Case {
    const char* name;
    std::size_t tool_job;
    std::size_t base_job;
    std::size_t image_bytes;
    std::size_t exchanges;
  } cases[] = {
      {"1 -p 4 MiB, yEnc (after -l): throughput tool/bare", 1, BASE_YENC, 4 * MIB,
       blocks(4 * MIB, 32) + 1},
      {"1 -v 2 MiB, yEnc (after -l): throughput tool/bare", 3, BASE_YENC, 2 * MIB,
       blocks(2 * MIB, 32) + 1},
      {"1 -x 8 MiB, yEnc (after -l): throughput tool/bare", 5, BASE_YENC, 8 * MIB,
       blocks(8 * MIB, 1024) + 1},
      {"1 -p 4 MiB, raw: throughput tool/bare", 8, BASE_RAW, 4 * MIB, blocks(4 * MIB, 32) + 1},
      {"1 -v 2 MiB, raw: throughput tool/bare", 10, BASE_RAW, 2 * MIB, blocks(2 * MIB, 32) + 1},
      {"1 -x 8 MiB, raw: throughput tool/bare", 12, BASE_RAW, 8 * MIB,
       blocks(8 * MIB, 1024) + 1},
  };
  for (const Case& each : cases) {
    double base_wall = median(walls(results[each.base_job]));
    double base_cpu = median(cpus(results[each.base_job]));
    Comparison c;
    c.name = each.name;
    c.image_bytes = each.image_bytes;
    c.exchanges = each.exchanges;
    for (const JobResult& r : results[each.tool_job]) {
      c.tool_seconds.push_back(r.run.wall_seconds - base_wall);
      c.tool_cpu.push_back(r.run.user_seconds + r.run.system_seconds - base_cpu);
    }
    for (const JobResult& r : results[each.tool_job + 1]) {
      c.bare_seconds.push_back(r.bare_seconds);
      c.bare_cpu.push_back(r.run.user_seconds + r.run.system_seconds);
    }
    report_comparison(c);
  }
}

// 5. The trace log's cost: the same yEnc programming run with log.txt on disk and with log.txt
// a directory, so that the tool cannot create it and runs without a trace.
void bench_trace(const Settings& settings, const Images& images, const SimProcess& sim) {
  std::printf("\n== 5. the trace log's cost (unpaced line, -l then -p 4 MiB)\n");
  std::string with_log = make_dir(settings, "trace-on");
  std::string without_log = make_dir(settings, "trace-off");
  link_port(with_log, sim);
  link_port(without_log, sim);
  std::string blocked = without_log + "/log.txt";
  unlink(blocked.c_str());
  mkdir(blocked.c_str(), 0755);

  const std::string& tool = settings.tool;
  std::vector<Job> on = {{"base-on", {tool, "-l", images.drv_small, images.program}},
                         {"p-on", {tool, "-l", images.drv_small, "-p", images.program}}};
  std::vector<Job> off = {{"base-off", {tool, "-l", images.drv_small, images.program}},
                          {"p-off", {tool, "-l", images.drv_small, "-p", images.program}}};
  std::vector<double> on_seconds, off_seconds, base_on, base_off, base_on_cpu, base_off_cpu;
  std::vector<JobResult> on_runs, off_runs;
  for (int round = 0; round < settings.rounds; ++round) {
    std::printf("  round %d/%d:", round + 1, settings.rounds);
    for (int k = 0; k < 2; ++k) {
      bool first_on = (round % 2 == 0) == (k == 0);
      const std::vector<Job>& jobs = first_on ? on : off;
      const std::string& dir = first_on ? with_log : without_log;
      JobResult base = run_job(jobs[0], dir);
      JobResult run = run_job(jobs[1], dir);
      if (!base.ok || !run.ok) {
        add_error("5 trace", "a run failed (see " + dir + ")");
        return;
      }
      (first_on ? base_on : base_off).push_back(base.run.wall_seconds);
      (first_on ? base_on_cpu : base_off_cpu).push_back(base.run.user_seconds +
                                                        base.run.system_seconds);
      (first_on ? on_runs : off_runs).push_back(run);
      std::printf(" %s %.2fs %s %.2fs", jobs[0].label.c_str(), base.run.wall_seconds,
                  jobs[1].label.c_str(), run.run.wall_seconds);
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  struct stat entry{};
  std::string written = with_log + "/log.txt";
  long long log_bytes = stat(written.c_str(), &entry) == 0 ? entry.st_size : -1;
  std::vector<double> ratios;
  for (std::size_t i = 0; i < on_runs.size(); ++i) {
    on_seconds.push_back(on_runs[i].run.wall_seconds - median(base_on));
    off_seconds.push_back(off_runs[i].run.wall_seconds - median(base_off));
    ratios.push_back(off_seconds.back() / on_seconds.back());
  }
  double ratio = median(ratios);
  double per_block = 1e6 / static_cast<double>(blocks(4 * MIB, 32) + 1);
  double on_cpu = (median(cpus(on_runs)) - median(base_on_cpu)) * per_block;
  double off_cpu = (median(cpus(off_runs)) - median(base_off_cpu)) * per_block;
  add_row("5 -p 4 MiB, yEnc: throughput with log.txt / without",
          format("%.3f (%.3f s with a %.1f MB log.txt, %.3f s without; cpu %.1f and %.1f "
                 "us/block)",
                 ratio, median(on_seconds), static_cast<double>(log_bytes) / 1e6,
                 median(off_seconds), on_cpu, off_cpu),
          ">= 0.95", ratio >= 0.95);
}

// 2. Against the line's limit: with the simulator pacing the line at 115200 baud, the time each
// operation held the line (from the wire log) against the time its bytes need back to back. The
// bare client's run of each operation, right before or after the tool's, shows what this
// machine's wake-up latency leaves of the line to any client.
void report_line_phase(const char* name, const std::vector<Phase>& phases, std::uint16_t selector,
                       bool judged) {
  for (const Phase& phase : phases) {
    if (phase.selector != selector) continue;
    double measured = (phase.last_byte_ms - phase.first_byte_ms) / 1000;
    double ideal = ideal_seconds(phase.line_bytes, LINE_BAUD);
    double ratio = measured / ideal;
    long stalls = std::count_if(phase.turnaround_ms.begin(), phase.turnaround_ms.end(),
                                [](double ms) { return ms > 1.0; });
    std::string figure = format(
        "%.4f (%.3f s for %.3f s of bytes: %zu bytes, %zu exchanges; turnaround median %.0f us, "
        "%ld over 1 ms)",
        ratio, measured, ideal, phase.line_bytes, phase.commands,
        median(phase.turnaround_ms) * 1000, stalls);
    if (judged) {
      add_row(name, figure, "<= 1.02", ratio <= 1.02);
    } else {
      add_info(name, figure);
    }
    return;
  }
  add_error(name, "no such operation in the wire log");
}

void bench_line(const Settings& settings, const Images& images) {
  std::printf("\n== 2. against the line's limit (simulator paced at %u baud)\n", LINE_BAUD);
  std::string dir = make_dir(settings, "paced");
  std::string wire_path = dir + "/wire.log";
  SimProcess sim;
  if (!start_sim_in(settings, dir,
                    {"--serve-forever", "--pace", std::to_string(LINE_BAUD), "--wire", wire_path},
                    sim)) {
    add_error("2 line", "the paced simulator did not start");
    return;
  }
  double byte_ms = 10.0 * 1000 / LINE_BAUD;
  const std::string& tool = settings.tool;
  const std::string& bare = settings.bare;
  struct LineRun {
    Job job;
    std::vector<std::pair<const char*, std::uint16_t>> phases;
    bool judged;
  } runs[] = {
      {{"bare-p", {bare, "COM1", "yenc", "program", "5", images.line}},
       {{"2 bare client: -p 256 KiB at 115200", OP_PROGRAM_FLASH}},
       false},
      {{"tool-p", {tool, "-l", images.drv_small, "-p", images.line}},
       {{"2 -p 256 KiB at 115200: measured/ideal", OP_PROGRAM_FLASH}},
       true},
      {{"tool-v", {tool, "-l", images.drv_small, "-v", images.line}},
       {{"2 -v 256 KiB at 115200: measured/ideal", OP_VERIFY_DATA}},
       true},
      {{"bare-v", {bare, "COM1", "yenc", "verify-data", "5", images.line}},
       {{"2 bare client: -v 256 KiB at 115200", OP_VERIFY_DATA}},
       false},
      {{"tool-x", {tool, "-l", images.drv_small, "-x", images.line}},
       {{"2 -x 256 KiB at 115200: measured/ideal", OP_VERIFY_CHECKSUM}},
       true},
      {{"bare-x", {bare, "COM1", "yenc", "verify-checksum", "5", images.line}},
       {{"2 bare client: -x 256 KiB at 115200", OP_VERIFY_CHECKSUM}},
       false},
  };
  std::string own_turnaround;
  for (const LineRun& run : runs) {
    // The simulator appends to its wire log and has flushed it whenever it waits.
    std::size_t seen = read_file(wire_path).size();
    JobResult result = run_job(run.job, dir, 0, settings.probe);
    unsigned long count = 0;
    double median_us = 0, p90_us = 0, p99_us = 0;
    if (std::sscanf(result.probe.c_str(), "%lu %lf %lf %lf", &count, &median_us, &p90_us,
                    &p99_us) == 4) {
      own_turnaround += format("%s%s %.1f/%.1f", own_turnaround.empty() ? "" : ", ",
                               run.job.label.c_str(), median_us, p99_us);
    }
    double cpu = result.run.user_seconds + result.run.system_seconds;
    std::printf("  %s: %.2f s wall, cpu %.3f s (%.1f %% of a core)\n", run.job.label.c_str(),
                result.run.wall_seconds, cpu, 100 * cpu / result.run.wall_seconds);
    if (!result.ok) {
      add_error(run.phases[0].first, "the run failed (see " + dir + ")");
      continue;
    }
    std::vector<Phase> phases =
        find_phases(parse_wire_log(read_file(wire_path).substr(seen)), byte_ms);
    for (const auto& [name, selector] : run.phases) {
      report_line_phase(name, phases, selector, run.judged);
    }
  }
  stop_sim(sim);
  add_info("2 own turnaround, answer's CR read to next command written (median/p99 us)",
           own_turnaround);
}

// 3. CPU while waiting: the tool against a target that never answers, for one whole reply
// time-out of 20 s (or --idle-seconds), after which the harness ends it.
void bench_idle(const Settings& settings, const Images& images) {
  std::printf("\n== 3. CPU while waiting for a silent target (%.0f s)\n", settings.idle_seconds);
  std::string dir = make_dir(settings, "silent");
  SimProcess sim;
  if (!start_sim_in(settings, dir, {"--silent"}, sim)) {
    add_error("3 idle", "the silent simulator did not start");
    return;
  }
  JobResult result = run_job({"tool-silent", {settings.tool, "-p", images.small}}, dir,
                             settings.idle_seconds + 0.25);
  stop_sim(sim);
  const RunResult& run = result.run;
  double cpu = run.user_seconds + run.system_seconds;
  double share = 100 * cpu / run.wall_seconds;
  std::printf("  %.2f s wall, user %.4f s, system %.4f s, %ld voluntary and %ld involuntary "
              "context switches\n",
              run.wall_seconds, run.user_seconds, run.system_seconds, run.voluntary_switches,
              run.involuntary_switches);
  if (!result.ok && !run.stopped) {
    add_error("3 CPU while waiting", "the run failed (see " + dir + ")");
    return;
  }
  add_row("3 -p against a silent target: CPU while waiting",
          format("%.3f %% of a core (%.1f ms in %.1f s, %.0f wake-ups/s)", share, cpu * 1000,
                 run.wall_seconds,
                 static_cast<double>(run.voluntary_switches) / run.wall_seconds),
          "< 1 %", share < 1.0);
}

// 4. Peak resident memory of whole runs, from the child's ru_maxrss.
void bench_memory(const Settings& settings, const Images& images, const std::string& dir,
                  const SimProcess& sim) {
  std::printf("\n== 4. peak resident memory (unpaced line, flash device 3)\n");
  link_port(dir, sim);
  struct Case {
    const char* name;
    Job job;
    double limit_mib;
    const char* target;
  } cases[] = {
      {"4 -l 8 MiB -p -v 8 MiB: peak resident memory",
       {"mem-8m", {settings.tool, "-l", images.drv_large, "-d", "3", "-p", "-v", images.large}},
       2 * 8 + 4, "< 20 MiB"},
      {"4 -l 64 KiB -p -v 64 KiB: peak resident memory",
       {"mem-64k", {settings.tool, "-l", images.small, "-d", "3", "-p", "-v", images.small}},
       4, "< 4 MiB"},
  };
  for (const Case& each : cases) {
    JobResult result = run_job(each.job, dir);
    std::printf("  %s: %.2f s, max RSS %ld KiB\n", each.job.label.c_str(),
                result.run.wall_seconds, result.run.max_rss_kib);
    if (!result.ok) {
      add_error(each.name, "the run failed (see " + dir + ")");
      continue;
    }
    double mib = static_cast<double>(result.run.max_rss_kib) / 1024;
    add_row(each.name, format("%.2f MiB", mib), each.target, mib < each.limit_mib);
  }
}

void print_table() {
  std::size_t widths[4] = {9, 6, 6, 6};
  for (const Row& row : table) {
    widths[0] = std::max(widths[0], row.name.size());
    widths[1] = std::max(widths[1], row.figure.size());
    widths[2] = std::max(widths[2], row.target.size());
    widths[3] = std::max(widths[3], row.result.size());
  }
  auto print_row = [&](const std::string& a, const std::string& b, const std::string& c,
                       const std::string& d) {
    std::printf("| %-*s | %-*s | %-*s | %-*s |\n", static_cast<int>(widths[0]), a.c_str(),
                static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                static_cast<int>(widths[3]), d.c_str());
  };
  std::printf("\n");
  print_row("benchmark", "figure", "target", "result");
  print_row(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
            std::string(widths[3], '-'));
  for (const Row& row : table) print_row(row.name, row.figure, row.target, row.result);
}

int usage() {
  std::fprintf(stderr,
               "usage: xarveld-bench --tool PATH --sim PATH --bare PATH --work DIR [--probe PATH] "
               "[--rounds N] [--idle-seconds S] [--only overhead,trace,line,idle,memory]\n");
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
    } else if (option == "--bare") {
      settings.bare = value;
    } else if (option == "--probe") {
      settings.probe = value;
    } else if (option == "--work") {
      settings.work = value;
    } else if (option == "--rounds") {
      settings.rounds = std::max(1, std::atoi(value.c_str()));
    } else if (option == "--idle-seconds") {
      settings.idle_seconds = std::max(1.0, std::atof(value.c_str()));
    } else if (option == "--only") {
      for (std::size_t start = 0; start <= value.size();) {
        std::size_t comma = std::min(value.find(',', start), value.size());
        settings.only.push_back(value.substr(start, comma - start));
        start = comma + 1;
      }
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !settings.tool.empty() && !settings.sim.empty() &&
         !settings.bare.empty() && !settings.work.empty();
}

}  // namespace

int run_benchmarks(int argc, char** argv) {
  Settings settings;
  if (!parse_settings(argc, argv, settings)) return usage();
  Images images;
  if (!make_images(settings, images)) return 1;

  if (wanted(settings, "overhead") || wanted(settings, "trace") || wanted(settings, "memory")) {
    std::string dir = make_dir(settings, "unpaced");
    SimProcess sim;
    if (!start_sim_in(settings, dir, {"--serve-forever"}, sim)) return 1;
    if (wanted(settings, "overhead")) bench_overhead(settings, images, dir, sim);
    if (wanted(settings, "trace")) bench_trace(settings, images, sim);
    if (wanted(settings, "memory")) bench_memory(settings, images, dir, sim);
    stop_sim(sim);
  }
  if (wanted(settings, "line")) bench_line(settings, images);
  if (wanted(settings, "idle")) bench_idle(settings, images);

  print_table();
  bool missed = std::any_of(table.begin(), table.end(),
                            [](const Row& row) { return row.result == "MISS"; });
  return any_error ? 2 : missed ? 1 : 0;
}

}  // namespace xarveld::bench

int main(int argc, char** argv) { return xarveld::bench::run_benchmarks(argc, argv); }
