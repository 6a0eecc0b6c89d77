// The page's own stream: what one viewer is sent after its snapshot, as pure functions over the
// station's snapshots, with the clock given; and the size of the snapshot every viewer takes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "station/web/status_json.hpp"
#include "station/web/status_summary.hpp"

namespace xarveld::station {
namespace {

using Json = nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Time = std::chrono::steady_clock::time_point;

StatusSnapshot two_slots() {
  StatusSnapshot snapshot;
  StatusSlot a;
  a.name = "a";
  a.state = SlotState::Running;
  a.board = 3;
  a.passed = 2;
  a.phase = "burning";
  a.bytes_done = 100;
  a.bytes_total = 1000;
  a.seconds = 3;
  StatusSlot b;
  b.name = "b";
  b.state = SlotState::Waiting;
  b.board = 1;
  b.passed = 1;
  b.seconds = 12.3;
  b.result = "PASS";
  snapshot.slots = {a, b};
  snapshot.passed = 3;
  return snapshot;
}

StatusEvent failure(std::uint64_t seq, const std::string& slot) {
  StatusEvent event;
  event.kind = StatusEventKind::Result;
  event.seq = seq;
  event.slot = slot;
  event.result = "FAIL";
  return event;
}

TEST(PageSummary, SendsAViewerOnlyWhatChangedSinceItsLastMessage) {
  const Time start{};
  StatusSnapshot snapshot = two_slots();
  std::deque<StatusEvent> failures{failure(5, "b")};
  PageViewer early = page_viewer(page_state(snapshot, failures), start);

  // a burns on; b's next board has failed.
  snapshot.slots[0].bytes_done = 500;
  snapshot.slots[0].kib_per_second = 11;
  snapshot.slots[0].seconds = 4;
  snapshot.slots[1].board = 2;
  snapshot.slots[1].failed = 1;
  snapshot.slots[1].result = "FAIL";
  snapshot.slots[1].seconds = 20;
  snapshot.failed = 1;
  failures.push_front(failure(9, "b"));
  PageState state = page_state(snapshot, failures);
  PageViewer late = page_viewer(state, start + milliseconds(500));

  Json message = Json::parse(page_summary(state, early, start + seconds(1), 0));
  EXPECT_EQ(message["type"], "summary");
  EXPECT_EQ(message["time"], "1970-01-01T00:00:00.000Z");
  // The page counts a running attempt's time itself; bytes and speed it does not show.
  EXPECT_EQ(message["slots"]["a"], Json({{"percent", 50}}));
  EXPECT_EQ(message["slots"]["b"],
            Json({{"board", 2}, {"failed", 1}, {"seconds", 20.0}, {"result", "FAIL"}}));
  EXPECT_EQ(message["totals"]["failed"], 1);
  EXPECT_FALSE(message.contains("notices"));
  ASSERT_EQ(message["failures"].size(), 1u);
  EXPECT_EQ(message["failures"][0]["seq"], 9);

  // Nothing new for either: the late viewer opened on this state.
  EXPECT_EQ(page_summary(state, early, start + seconds(2), 0), "");
  EXPECT_EQ(page_summary(state, late, start + seconds(2), 0), "");
  snapshot.notices = {"waiting for the ledger"};
  message = Json::parse(page_summary(page_state(snapshot, failures), late, start + seconds(3), 0));
  EXPECT_EQ(message, Json({{"type", "summary"},
                           {"time", "1970-01-01T00:00:00.000Z"},
                           {"notices", Json::array({"waiting for the ledger"})}}));
}

TEST(PageSummary, AQuietStationStillSaysItLivesEveryFiveSeconds) {
  const Time start{};
  PageState state = page_state(two_slots(), {});
  PageViewer viewer = page_viewer(state, start);
  EXPECT_EQ(page_summary(state, viewer, start + PAGE_QUIET_INTERVAL - milliseconds(1), 0), "");
  EXPECT_EQ(page_summary(state, viewer, start + PAGE_QUIET_INTERVAL, 1000),
            R"({"type":"summary","time":"1970-01-01T00:00:01.000Z"})");
  EXPECT_EQ(page_summary(state, viewer, start + PAGE_QUIET_INTERVAL + seconds(4), 0), "");
}

TEST(StatusSnapshot, SixteenSlotsFailingWithTheLongestWordsStayUnder64KB) {
  // Shown texts are cut to 400 bytes; quotes, which JSON doubles, are the worst they can be.
  const std::string longest(400, '"');
  StatusSnapshot snapshot;
  std::deque<StatusEvent> failures;
  for (int i = 0; i < 16; ++i) {
    StatusSlot slot;
    slot.name = "slot" + std::to_string(i);
    slot.port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1." + std::to_string(i) + ":1.0-port0";
    slot.result = "FAIL";
    slot.message = slot.reason = longest;
    snapshot.slots.push_back(slot);
    StatusEvent event = failure(static_cast<std::uint64_t>(i) + 1, slot.name);
    event.message = event.reason = longest;
    event.directory = "runs/" + slot.name + "/20261208T063906Z-1";
    status_note_failure(failures, event);
    status_note_failure(failures, event);
  }
  std::string json = status_snapshot_json(StatusStation{}, snapshot, failures);
  EXPECT_LT(json.size(), 64u * 1000) << "/status for sixteen failed slots";
  EXPECT_GE(Json::parse(json)["failures"].size(), 10u) << "the newest failures are still there";
}

}  // namespace
}  // namespace xarveld::station
