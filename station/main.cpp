// xarveld-station: many boards at once, one run of xarveld per board, each in its own directory,
// with live progress and a record of every attempt.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "station/attempt/attempt.hpp"
#include "station/ledger/ledger.hpp"
#include "station/ledger_steps.hpp"
#include "station/os/files.hpp"
#include "station/os/host.hpp"
#include "station/os/interrupt.hpp"
#include "station/os/port.hpp"
#include "station/os/record_file.hpp"
#include "station/os/terminal.hpp"
#include "station/os/utc_time.hpp"
#include "station/station_options.hpp"
#include "station/supervisor.hpp"
#include "station/web/status.hpp"

namespace {
using namespace xarveld::station;

int refuse(const std::string& message) {
  std::fprintf(stderr, "xarveld-station: %s\n", plain_text(message).c_str());
  return STATION_REFUSED;
}

// The ledger this command line names: --ledger, else the PC's own (or XARVELD_LEDGER's).
std::string ledger_location(const StationOptions& options) {
  return options.ledger.empty() ? ledger_default_location() : options.ledger;
}

// --report: read only; a ledger that is not there is not made for it, nor anything written.
int report(const StationOptions& options) {
  std::string error;
  std::vector<PoolReport> pools;
  // The uses go out as they come: a ledger of millions of numbers is never held whole.
  bool written = true;
  auto write = [&](const std::string& text) {
    written = written && std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return written;
  };
  const SerialUseSink csv_line = [&](const SerialUse& use) { return write(csv_use_line(use)); };
  LedgerStatus status = ledger_open(ledger_location(options), LedgerStation{}, LedgerAccess::ReadOnly, error);
  if (status == LedgerStatus::Ok && options.report_csv) write(csv_header());
  if (status == LedgerStatus::Ok)
    status = ledger_report(pools, options.report_csv ? &csv_line : nullptr, error);
  ledger_close();
  if (status != LedgerStatus::Ok) return refuse(error);
  if (!options.report_csv) write(render_pool_table(pools));
  return std::fflush(stdout) == 0 && written ? 0 : STATION_SOME_FAILED;
}

// --report --yield or --pareto: small results, rendered whole once read.
int yield_report(const StationOptions& options) {
  std::string error, text;
  std::int64_t since = options.since_ms > 0 ? now_unix_ms() - options.since_ms : 0;
  LedgerStatus status =
      ledger_open(ledger_location(options), LedgerStation{}, LedgerAccess::ReadOnly, error);
  if (status == LedgerStatus::Ok && options.report_yield) {
    std::vector<YieldRow> groups;
    status = ledger_yield(options.yield_by, since, groups, error);
    YieldRow total = yield_sum(groups);
    if (options.yield_by == YieldBy::Total) groups.clear();
    text = options.report_csv ? yield_csv(groups, total) : render_yield_table(groups, total);
  } else if (status == LedgerStatus::Ok) {
    std::vector<ParetoRow> rows;
    status = ledger_pareto(since, rows, error);
    text = options.report_csv ? pareto_csv(rows) : render_pareto_table(rows);
  }
  ledger_close();
  if (status != LedgerStatus::Ok) return refuse(error);
  bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written ? 0 : STATION_SOME_FAILED;
}

// xarveld-read, beside the tool and with its extension on Windows.
std::string read_tool_beside(const std::string& tool) {
  std::filesystem::path path(tool);
  std::string name = "xarveld-read";
  if (path.extension() == ".exe") name += ".exe";
  return path.replace_filename(name).string();
}

// --new-ledger without slots: makes the ledger, and says where.
int make_ledger(const StationOptions& options) {
  std::string location = ledger_location(options), error;
  if (ledger_open(location, LedgerStation{}, LedgerAccess::Create, error) != LedgerStatus::Ok)
    return refuse(error);
  ledger_close();
  std::string made = ledger_redacted(location, location);
  if (ledger_location_kind(location) == LedgerLocationKind::File) {
    std::error_code ignored;
    made = std::filesystem::absolute(location, ignored).string();
  }
  std::printf("xarveld-station: made the ledger %s\n", made.c_str());
  return std::fflush(stdout) == 0 ? 0 : STATION_SOME_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  station_interrupt_install();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  StationParse parse = parse_station_options(arguments);
  if (parse.outcome == StationParseOutcome::Help) {
    std::fputs(station_usage().c_str(), stdout);
    return 0;
  }
  if (parse.outcome == StationParseOutcome::Version) {
    std::fputs("xarveld-station " XARVELD_VERSION "\n", stdout);
    return 0;
  }
  if (parse.outcome == StationParseOutcome::Error) return refuse(parse.message);
  const StationOptions& options = parse.options;
  if (ledger_location_has_password(options.ledger))
    std::fputs("xarveld-station: the password in --ledger is visible to every user of this PC: "
               "put it in ~/.pgpass or PGPASSWORD instead\n",
               stderr);
  if (options.report_yield || options.report_pareto) return yield_report(options);
  if (options.report) return report(options);
  if (options.new_ledger && options.slots.empty()) return make_ledger(options);

  std::vector<SlotSetup> slots;
  for (const Slot& slot : options.slots) {
    std::string why;
    if (!port_name_acceptable(slot.port, why)) return refuse("slot " + slot.name + ": " + why);
    SlotSetup setup{slot, port_identity(slot.port)};
    for (const SlotSetup& other : slots) {
      if (other.identity.device == setup.identity.device)
        return refuse("slots " + other.slot.name + " and " + slot.name + " lead to one port, " +
                      setup.identity.device);
    }
    slots.push_back(setup);
  }

  // Taken before anything is made, so that an address the page cannot have refuses the shift.
  std::string message, url;
  if (!options.http.empty() && !status_listen(options.http, options.http_names, url, message))
    return refuse(message);

  RunPlan run;
  run.tool = options.tool.empty() ? tool_beside_station(argv[0]) : options.tool;
  std::error_code code;
  if (!std::filesystem::is_regular_file(run.tool, code))
    return refuse("no tool to run at " + run.tool + " (--tool PATH names it)");
  run.tool = std::filesystem::absolute(run.tool, code).string();
  run.tool_arguments = options.tool_arguments;
  if (!plan_tool_arguments(run.tool_arguments, run.plan, message)) return refuse(message);
  if (options.backup) {
    // What a run that only verifies leaves on the board is what it held: nothing to keep.
    if (!run.plan.burns)
      return refuse("--backup keeps what a burn overwrites: the tool's arguments have no -p");
    run.read_tool = options.read_tool.empty() ? read_tool_beside(run.tool) : options.read_tool;
    if (!std::filesystem::is_regular_file(run.read_tool, code))
      return refuse("no read program at " + run.read_tool +
                    " for --backup (--read-tool PATH names it)");
    run.read_tool = std::filesystem::absolute(run.read_tool, code).string();
  }
  // Found before anything starts: a shift whose boards no record shows is not begun.
  if (!record_open(run.record_path, message))
    return refuse(run.record_path + " cannot be written: " + message);
  std::string images_directory = run.runs_directory + "/images";
  if (run.plan.driver_index >= 0) {
    StationImage driver;
    const std::string& name = run.tool_arguments[static_cast<std::size_t>(run.plan.driver_index)];
    if (!prepare_image("driver", name, images_directory, driver, message)) return refuse(message);
    run.driver_copy = driver.copy;
    run.images.push_back(driver);
  }
  StationImage image;
  const std::string& name = run.tool_arguments[static_cast<std::size_t>(run.plan.image_index)];
  if (!prepare_image("image", name, images_directory, image, message)) return refuse(message);
  run.image_copy = image.copy;
  run.images.push_back(image);
  run.host = host_name();
  run.version = XARVELD_VERSION;
  LedgerPlan ledger;
  if ((options.numbered || !options.ledger.empty()) &&
      !open_ledger(options, image, run, ledger, message))
    return refuse(message);
  if (options.numbered && !tool_reads_back(run.tool_arguments, run.plan))
    std::fputs("xarveld-station: without -v or -x the numbers are burnt unverified\n", stderr);

  if (!options.http.empty()) {
    // Names from the command line and the machine are shown as text, like the tools' words.
    StatusStation page{plain_text(run.host), run.version, plain_text(run.record_path),
                       now_unix_ms(), {}};
    for (const StationImage& i : run.images) {
      page.images.push_back(i.facts);
      page.images.back().name = plain_text(i.facts.name);
    }
    if (!status_start(page, message)) return refuse(message);
  }

  bool terminal = terminal_prepare();
  // Once, above the rows.
  if (!url.empty()) terminal_write("status page: " + url + "\n");
  const char* no_colour = std::getenv("NO_COLOR");
  bool colour = terminal && (no_colour == nullptr || no_colour[0] == '\0');
  return supervise(options, run, ledger, slots, terminal, colour);
}
