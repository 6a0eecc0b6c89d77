// The station's command line, what its --ledger names, and the tool's arguments as each run
// gets them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"
#include "station/station_options.hpp"
#include "station/attempt/tool_arguments.hpp"

namespace xarveld::station {
namespace {

using Arguments = std::vector<std::string>;

TEST(StationOptions, SlotsLimitsAndToolArguments) {
  StationParse parse = parse_station_options({"--slot", "a=/dev/ttyUSB0", "b=/dev/ttyUSB1",
                                              "--retries=3", "--timeout", "90", "--jobs", "2",
                                              "--loop", "--tool", "/opt/x", "--http", "[::]:80",
                                              "--http-name", "line-3.example,Pc7", "--", "-p",
                                              "i.bin"});
  ASSERT_EQ(parse.outcome, StationParseOutcome::Run) << parse.message;
  const StationOptions& options = parse.options;
  ASSERT_EQ(options.slots.size(), 2u);
  EXPECT_EQ(options.slots[1].name, "b");
  EXPECT_EQ(options.slots[1].port, "/dev/ttyUSB1");
  EXPECT_EQ(options.retries, 3);
  EXPECT_EQ(options.timeout_seconds, 90);
  EXPECT_EQ(options.jobs, 2);
  EXPECT_TRUE(options.loop);
  EXPECT_EQ(options.tool, "/opt/x");
  EXPECT_EQ(options.http_names, (Arguments{"line-3.example", "Pc7"}));
  EXPECT_EQ(options.tool_arguments, (Arguments{"-p", "i.bin"}));
  // A port name may hold '='; the name ends at the first.
  EXPECT_EQ(parse_station_options({"a=/dev/odd=name", "--", "i.bin"}).options.slots[0].port,
            "/dev/odd=name");
}

TEST(StationOptions, RefusedCommandLinesSayWhy) {
  const std::pair<Arguments, std::string> refused[] = {
      {{"a=/dev/x", "-p", "--", "i.bin"}, "unknown option -p"},
      {{"--fast", "a=/dev/x", "--", "i.bin"}, "unknown option --fast"},
      {{"a=/dev/x", "i.bin"}, "must come between"},
      {{"--", "i.bin"}, "no slot"},
      {{"a=/dev/x", "a=/dev/y", "--", "i.bin"}, "slot a is given twice"},
      {{"a=/dev/x", "b=/dev/x", "--", "i.bin"}, "port /dev/x is given to slots a and b"},
      {{"images=/dev/x", "--", "i.bin"}, "slot name"},
      {{"../up=/dev/x", "--", "i.bin"}, "slot name"},
      {{"a", "--", "i.bin"}, "NAME=PORT"},
      {{"a=", "--", "i.bin"}, "has no port"},
      {{"--retries", "many", "a=/dev/x", "--", "i.bin"}, "--retries"},
      {{"--timeout", "0", "a=/dev/x", "--", "i.bin"}, "--timeout"},
      {{"a=/dev/x", "--jobs"}, "must come between"},
      {{"a=/dev/x", "--jobs", "--", "i.bin"}, "--jobs takes a count"},
      {{"--retries", "1", "a=/dev/x", "--retries=2", "--", "i.bin"}, "--retries is given twice"},
      {{"--http", ":0", "--http-name", "a,,b", "a=/dev/x", "--", "i.bin"}, "takes host names"},
      {{"--http-name", "a", "a=/dev/x", "--", "i.bin"}, "--http-name goes with --http"},
  };
  for (const auto& [arguments, why] : refused) {
    StationParse parse = parse_station_options(arguments);
    EXPECT_EQ(parse.outcome, StationParseOutcome::Error) << why;
    EXPECT_NE(parse.message.find(why), std::string::npos) << parse.message;
  }
  EXPECT_EQ(parse_station_options({"--help"}).outcome, StationParseOutcome::Help);
  EXPECT_EQ(parse_station_options({"a=/dev/x", "--version"}).outcome, StationParseOutcome::Version);
}

TEST(StationOptions, SerialNumbersAndTheLedger) {
  StationParse parse = parse_station_options(
      {"--serial-at", "0x1FF00", "--serial-format", "dec:8", "--serial-range", "1000-1999",
       "--pool", "p", "--ledger", "postgresql://line@db/ledger", "a=/dev/x", "--", "i.bin"});
  ASSERT_EQ(parse.outcome, StationParseOutcome::Run) << parse.message;
  EXPECT_TRUE(parse.options.numbered);
  EXPECT_EQ(parse.options.serial_at, 0x1FF00u);
  EXPECT_EQ(parse.options.serial_format.encoding, SerialEncoding::Decimal);
  EXPECT_EQ(parse.options.serial_last, 1999u);
  EXPECT_EQ(parse.options.pool, "p");
  EXPECT_EQ(parse.options.ledger, "postgresql://line@db/ledger");
  StationParse report = parse_station_options({"--report", "--csv"});
  EXPECT_EQ(report.outcome, StationParseOutcome::Run) << report.message;
  EXPECT_TRUE(report.options.report_csv);
  // Alone, --new-ledger makes the ledger and runs nothing.
  StationParse make = parse_station_options({"--new-ledger", "--ledger", "l.sqlite"});
  EXPECT_EQ(make.outcome, StationParseOutcome::Run) << make.message;
  EXPECT_TRUE(make.options.new_ledger && make.options.slots.empty());

  const Arguments serials = {"--serial-at", "16", "--serial-format", "u32le", "--serial-range"};
  auto numbered = [&](const std::string& range, Arguments more) {
    Arguments arguments = serials;
    arguments.push_back(range);
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  const std::pair<Arguments, std::string> refused[] = {
      {{"--serial-at", "16", "a=/dev/x", "--", "i.bin"}, "come together"},
      {{"--serial-format", "u32le", "--serial-range", "1-2", "a=/dev/x", "--", "i.bin"},
       "come together"},
      {{"--serial-format", "u32le", "--serial-format", "u32le", "--serial-at", "1", "--serial-at",
        "2", "--serial-at", "3", "a=/dev/x", "--", "i.bin"},
       "--serial-format is given twice"},
      {numbered("5-4", {"a=/dev/x", "--", "i.bin"}), "is empty"},
      {numbered("", {"a=/dev/x", "--", "i.bin"}), "FIRST-LAST"},
      {numbered("1-4294967296", {"a=/dev/x", "--", "i.bin"}), "does not fit --serial-format"},
      {{"--serial-at", "0x", "a=/dev/x", "--", "i.bin"}, "--serial-at takes a byte offset"},
      {{"--serial-at", "-1", "a=/dev/x", "--", "i.bin"}, "--serial-at takes a byte offset"},
      {{"--serial-format", "u16le", "a=/dev/x", "--", "i.bin"}, "--serial-format"},
      {{"--pool", "p", "a=/dev/x", "--", "i.bin"}, "--pool names the pool"},
      {{"--csv", "a=/dev/x", "--", "i.bin"}, "--csv goes with --report"},
      {{"--report", "a=/dev/x"}, "--report takes only"},
      {{"--report", "--new-ledger"}, "--report takes only"},
      {{"--new-ledger", "--jobs", "2"}, "--new-ledger without slots takes only --ledger"},
      {{"--new-ledger", "a=/dev/x", "--", "i.bin"}, "--new-ledger makes the ledger of"},
      {{"--ledger", "", "a=/dev/x", "--", "i.bin"}, "--ledger needs a value"},
  };
  for (const auto& [arguments, why] : refused) {
    StationParse refusal = parse_station_options(arguments);
    EXPECT_EQ(refusal.outcome, StationParseOutcome::Error) << why;
    EXPECT_NE(refusal.message.find(why), std::string::npos) << refusal.message;
  }
}

// The yield and Pareto reports: a grouping and a span of minutes, hours or days, each with the
// report it belongs to, refused before any ledger is opened.
TEST(StationOptions, YieldAndParetoReports) {
  StationParse yield =
      parse_station_options({"--report", "--yield", "--by", "shift", "--since", "8h", "--csv"});
  ASSERT_EQ(yield.outcome, StationParseOutcome::Run) << yield.message;
  EXPECT_TRUE(yield.options.report_yield && yield.options.report_csv);
  EXPECT_EQ(yield.options.yield_by, YieldBy::Shift);
  EXPECT_EQ(yield.options.since_ms, 8 * 3600000);
  StationParse pareto = parse_station_options({"--report", "--pareto", "--since=30m"});
  ASSERT_EQ(pareto.outcome, StationParseOutcome::Run) << pareto.message;
  EXPECT_TRUE(pareto.options.report_pareto);
  EXPECT_EQ(pareto.options.since_ms, 30 * 60000);
  EXPECT_EQ(parse_station_options({"--report", "--yield", "--by", "day", "--since", "7d"})
                .options.since_ms,
            7 * 86400000LL);

  const std::pair<Arguments, std::string> refused[] = {
      {{"--report", "--yield", "--by", "week"}, "--by takes slot, station, shift or day"},
      {{"--report", "--yield", "--since", "8"}, "--since takes"},
      {{"--report", "--yield", "--since", "0h"}, "--since takes"},
      {{"--report", "--yield", "--since", "h"}, "--since takes"},
      {{"--report", "--pareto", "--since", "1.5h"}, "--since takes"},
      {{"--report", "--pareto", "--since", "8s"}, "--since takes"},
      {{"--yield"}, "--yield goes with --report"},
      {{"--report", "--yield", "--pareto"}, "ask for one at a time"},
      {{"--report", "--pareto", "--by", "slot"}, "--by goes with --yield"},
      {{"--report", "--since", "8h"}, "--since goes with --yield or --pareto"},
  };
  for (const auto& [arguments, why] : refused) {
    StationParse refusal = parse_station_options(arguments);
    EXPECT_EQ(refusal.outcome, StationParseOutcome::Error) << why;
    EXPECT_NE(refusal.message.find(why), std::string::npos) << refusal.message;
  }
}

// What --ledger names, and what of it a message may show. A password is never shown; a
// mistyped URL is never taken for a file.
TEST(LedgerLocation, FilesServersAndPasswordsOutOfSight) {
  using K = LedgerLocationKind;
  const struct {
    std::string location;
    K kind;
    std::string shown;  // empty: the location as it is, without a password
  } locations[] = {
      {"host=db dbname=ledger user=line", K::Postgres, ""},
      {"host = db password='se same' dbname=ledger", K::Postgres,
       "host = db password='***' dbname=ledger"},
      {"dbname=ledger password=se\\ same bad", K::Postgres, "dbname=ledger password=*** bad"},
      {"postgresql://line@db/ledger", K::Postgres, ""},
      {"postgres://line:se%40same@[::1]:5433/ledger?sslmode=require", K::Postgres,
       "postgres://line:***@[::1]:5433/ledger?sslmode=require"},
      {"postgresql:///ledger?host=/run/pg&password=sesame&user=line", K::Postgres,
       "postgresql:///ledger?host=/run/pg&password=***&user=line"},
      {"postgres:/line:sesame@db/ledger", K::MalformedPostgres, "postgres:/line:***@db/ledger"},
      {"postgresql:line@db", K::MalformedPostgres, ""},
      {"POSTGRESQL://line@db/ledger", K::MalformedPostgres, ""},
      {"station-ledger.sqlite", K::File, ""},
      {"/srv/line=3/ledger.sqlite", K::File, ""},
      {"my ledger.sqlite", K::File, ""},
      {"colour=blue", K::File, ""},
  };
  for (const auto& [location, kind, shown] : locations) {
    EXPECT_EQ(ledger_location_kind(location), kind) << location;
    EXPECT_EQ(ledger_redacted(location, location), shown.empty() ? location : shown);
    EXPECT_EQ(ledger_location_has_password(location), !shown.empty()) << location;
  }
  // What libpq quotes of a location is the password too, as written or as read.
  EXPECT_EQ(ledger_redacted("invalid percent-encoded token: \"line:se%zz\"",
                            "postgresql://line:se%zz@db/ledger"),
            "invalid percent-encoded token: \"line:***\"");
  EXPECT_EQ(ledger_redacted("for user \"se@same\"", "postgresql://line:se%40same@db/ledger"),
            "for user \"***\"");

  // One ledger a PC, whatever directory a station starts in, unless the line names its own.
  unsetenv("XARVELD_LEDGER");
  EXPECT_EQ(ledger_default_location(), "/var/lib/xarveld/station-ledger.sqlite");
  setenv("XARVELD_LEDGER", "host=db dbname=ledger", 1);
  EXPECT_EQ(ledger_default_location(), "host=db dbname=ledger");
  unsetenv("XARVELD_LEDGER");
}

// Slot names become directories, and a station's configuration moves between systems: a name
// Windows cannot keep apart or opens as a device is refused everywhere.
TEST(StationOptions, SlotNamesEveryFileSystemKeepsApart) {
  const std::pair<Arguments, std::string> refused[] = {
      {{"A=/dev/x", "a=/dev/y"}, "slots A and a differ only in case"},
      {{"CON=/dev/x"}, "slot name CON is a device on Windows"},
      {{"con.txt=/dev/x"}, "slot name con.txt is a device"},
      {{"COM1=/dev/x"}, "slot name COM1 is a device"},
      {{"lpt9=/dev/x"}, "slot name lpt9 is a device"},
      {{"Nul.tar.gz=/dev/x"}, "slot name Nul.tar.gz is a device"},
      {{"aux=/dev/x"}, "slot name aux is a device"},
      {{"x.=/dev/x"}, "cannot end in '.'"},
      {{"x =/dev/x"}, "a slot name is 1 to 32"},
      {{"Images=/dev/x"}, "taken by runs/images"},
  };
  for (auto [arguments, why] : refused) {
    arguments.insert(arguments.end(), {"--", "i.bin"});
    StationParse parse = parse_station_options(arguments);
    EXPECT_EQ(parse.outcome, StationParseOutcome::Error) << why;
    EXPECT_NE(parse.message.find(why), std::string::npos) << parse.message;
  }
  StationParse kept = parse_station_options(
      {"COM0=/dev/a", "COM10=/dev/b", "console=/dev/c", "lpt=/dev/d", "x.y=/dev/e", "--", "i.bin"});
  EXPECT_EQ(kept.outcome, StationParseOutcome::Run) << kept.message;
}

std::string absolute(const std::string& name) { return "/work/" + name; }

TEST(StationToolArguments, ImagesBecomeTheCopiesAndThePortTheSlots) {
  ToolArgumentPlan plan;
  std::string message;
  Arguments given = {"-c", "3", "-l", "old.bin", "-b", "57600", "-l", "drv.bin", "-p", "img.bin"};
  ASSERT_TRUE(plan_tool_arguments(given, plan, message));
  EXPECT_EQ(plan.image_index, 9);
  EXPECT_EQ(plan.driver_index, 7);
  // POSIX: the port is the run's COM1, the tool's default, so -c goes.
  EXPECT_EQ(tool_arguments_for_run(given, plan, "/r/I.bin", "/r/D.bin", "", absolute),
            (Arguments{"-l", "/work/old.bin", "-b", "57600", "-l", "/r/D.bin", "-p", "/r/I.bin"}));
  // Windows: -c with the slot's number comes first.
  EXPECT_EQ(tool_arguments_for_run({"-v", "img.bin"}, ToolArgumentPlan{1, -1, {}, {}}, "/r/I.bin",
                                   "", "7", absolute),
            (Arguments{"-c", "7", "-v", "/r/I.bin"}));
  // The backup's read: the slot's port, the copy of the driver the tool reads, the last -d.
  Arguments burn = {"-c", "3", "-d", "2", "-b", "57600", "-l", "drv.bin", "-d", "4", "-p", "i.bin"};
  ASSERT_TRUE(plan_tool_arguments(burn, plan, message));
  EXPECT_EQ(backup_arguments(burn, plan, "/r/D.bin", "7", 2048, "before.bin"),
            (Arguments{"-c", "7", "-l", "/r/D.bin", "-d", "4", "-b", "57600", "--length", "2048",
                       "before.bin"}));

  // A -c the tool would refuse stays, so that the tool says so; -l before the image takes it.
  Arguments odd = {"-c", "10", "-p", "-l", "img.bin"};
  ASSERT_TRUE(plan_tool_arguments(odd, plan, message));
  EXPECT_EQ(plan.driver_index, 4);
  EXPECT_EQ(tool_arguments_for_run(odd, plan, "/r/I.bin", "/r/I.bin", "", absolute),
            (Arguments{"-c", "10", "-p", "-l", "/r/I.bin"}));

  EXPECT_FALSE(plan_tool_arguments({}, plan, message));
  EXPECT_FALSE(plan_tool_arguments({"-p", "-v"}, plan, message));
  EXPECT_NE(message.find("no image"), std::string::npos);
}

}  // namespace
}  // namespace xarveld::station
