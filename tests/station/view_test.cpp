// What the operator and the page see, as pure functions: the station's state at a moment made
// into its snapshot, and the snapshot into the terminal's rows and the plain lines.
#include <gtest/gtest.h>

#include <string>

#include "station/station_state.hpp"
#include "station/view.hpp"

namespace xarveld::station {
namespace {

using std::chrono::seconds;

SlotRun slot_named(const std::string& name, const std::string& port) {
  SlotRun slot;
  slot.setup.slot = {name, port};
  slot.board = 1;
  slot.attempt_number = 1;
  return slot;
}

TEST(StationView, TheStateAtAMomentAndItsRows) {
  StationOptions options;
  options.loop = true;
  RunPlan run;
  run.images = {{{"driver", "drv.bin", 4096, ""}, ""}, {{"image", "img.bin", 8192, ""}, ""}};
  Station station;
  station.options = &options;
  station.run = &run;
  const SteadyClock::time_point start{};
  station.started = start;

  SlotRun burning = slot_named("a", "/dev/ttyUSB0");
  burning.running = true;
  burning.attempt_number = 2;
  burning.attempt.started = start + seconds(10);
  burning.attempt.phase_started = start + seconds(20);
  // Five marks of the burn: four KiB out, the fifth on its way.
  progress_feed(burning.attempt.progress, "Burning flash......");
  SlotRun failed = slot_named("b", "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0-port0");
  failed.failed = 1;
  failed.seconds = 12.3;
  failed.result = "FAIL";
  failed.message = "Unable to program img.bin.";
  failed.reason = "the loader refused to program device 5";
  SlotRun queued = slot_named("c", "/dev/ttyUSB2");
  queued.queued = true;
  SlotRun passed = slot_named("d", "/dev/ttyUSB3");
  passed.passed = 2;
  passed.result = "PASS";
  station.slots = {burning, failed, queued, passed};
  station.waiting_for_ledger = true;

  StatusSnapshot snapshot = station_snapshot(station, start + seconds(24));
  ASSERT_EQ(snapshot.slots.size(), 4u);
  const StatusSlot& a = snapshot.slots[0];
  EXPECT_EQ(a.state, SlotState::Running);
  EXPECT_EQ(a.phase, "burning");
  EXPECT_EQ(a.bytes_done, 4096u);
  EXPECT_EQ(a.bytes_total, 8192u);
  EXPECT_DOUBLE_EQ(a.kib_per_second, 1.0);  // 4 KiB in the 4 s since the burn began
  EXPECT_DOUBLE_EQ(a.seconds, 14.0);
  EXPECT_EQ(snapshot.slots[1].state, SlotState::Waiting);  // --loop: for its next board
  EXPECT_DOUBLE_EQ(snapshot.slots[1].seconds, 12.3);
  EXPECT_TRUE(snapshot.slots[2].waiting_for_ledger);
  EXPECT_FALSE(snapshot.slots[3].waiting_for_ledger);
  EXPECT_EQ(snapshot.passed, 2);
  EXPECT_EQ(snapshot.failed, 1);
  EXPECT_EQ(render_totals(snapshot), "2 passed, 1 failed, 300 boards/hour");  // 2 in 24 s
  // No rate from failed boards, nor from the first seconds of a shift.
  StatusSnapshot early = snapshot;
  early.hours = 9.0 / 3600;
  EXPECT_EQ(render_totals(early), "2 passed, 1 failed");
  early.passed = 0;
  early.hours = 1;
  EXPECT_EQ(render_totals(early), "0 passed, 1 failed");

  // Rows for a terminal 100 columns wide: the long port gives way from its left, a failure's
  // message and reason are cut to the width, colour goes around the result alone.
  RowWidths widths = row_widths(snapshot.slots, 100);
  EXPECT_EQ(widths.port, 16u);
  EXPECT_EQ(render_row(a, widths, 100, false),
            "a     /dev/ttyUSB0         0  burning #2  [#####-----]  50%    1.0   0:14  ");
  EXPECT_EQ(render_row(snapshot.slots[1], widths, 100, true),
            "b     ...1.2:1.0-port0     1  waiting                                0:12  "
            "\x1b[31mFAIL Unable to program i\x1b[0m");
  std::string wide = render_row(snapshot.slots[1], widths, 200, false);
  EXPECT_EQ(wide.substr(wide.find("FAIL")),
            "FAIL Unable to program img.bin. - the loader refused to program device 5");
  EXPECT_NE(render_row(snapshot.slots[2], widths, 100, false).find("queued"), std::string::npos);
  EXPECT_NE(render_row(snapshot.slots[2], widths, 100, false).find("waiting for ledger"),
            std::string::npos);
  EXPECT_EQ(render_row(snapshot.slots[2], widths, 20, false).size(), 19u);

  EXPECT_EQ(plain_result_line("T", snapshot.slots[1]),
            "T b FAIL board 1 attempt 1 12.3 s: Unable to program img.bin. - the loader refused "
            "to program device 5\n");
  snapshot.slots[0].serial = "1007";
  EXPECT_EQ(plain_start_line("T", snapshot.slots[0], "runs/a/X-2"),
            "T a start board 1 attempt 2 on /dev/ttyUSB0 in runs/a/X-2 serial 1007\n");
  EXPECT_NE(render_row(snapshot.slots[0], widths, 100, false).find("0:14  #1007"), std::string::npos);
  std::string summary = plain_summary(snapshot);
  EXPECT_NE(summary.find("\nc     /dev/ttyUSB2                      -       0 passed, 0 failed\n"
                         "d     /dev/ttyUSB3                      PASS    2 passed, 0 failed\n"
                         "2 passed, 1 failed, 300 boards/hour\n"),
            std::string::npos)
      << summary;

  // A stop: the queued slot's board was never burnt and says so; each reason keeps its line.
  station.notices[NOTICE_RECORD_LOST] = "record lost";
  SlotRun holder = slot_named("e", "/dev/ttyUSB4");  // its number came before the pool ran out
  holder.queued = true;
  holder.stamp.has_serial = true;
  station.slots.push_back(holder);
  stop_new_boards(station, Stop::Ledger, "pool exhausted");
  EXPECT_TRUE(station.slots[4].queued && slot_may_start(station, station.slots[4]));
  EXPECT_FALSE(slot_may_start(station, station.slots[2]));
  StatusSnapshot stopped = station_snapshot(station, start + seconds(25));
  EXPECT_EQ(stopped.notices, (std::vector<std::string>{"record lost", "pool exhausted"}));
  EXPECT_EQ(stopped.slots[2].result, NOT_BURNT);
  EXPECT_EQ(stopped.slots[2].message, "not started: no number from the ledger");
  EXPECT_EQ(stopped.slots[3].result, "PASS");  // not queued: its board was burnt
}

}  // namespace
}  // namespace xarveld::station
