// /metrics as Prometheus reads it: the text from the station's counts, checked line by line and,
// when Debian's prometheus package is installed, by its own promtool.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "station/web/status_metrics.hpp"

namespace xarveld::station {
namespace {

// Where needle starts in text, failing the case when it is not there.
std::size_t at(const std::string& text, const std::string& needle) {
  std::size_t found = text.find(needle);
  EXPECT_NE(found, std::string::npos) << "missing: " << needle << "\nin:\n" << text;
  return found;
}

TEST(StatusMetrics, CountsEscapedCumulativeAndReadByPromtool) {
  StationMetrics metrics;
  // The operator's text: quotes, a backslash, a line feed and a byte that is not UTF-8.
  const std::string hostile = "line \"3\" C:\\jig\nend\xFF";
  metrics.slots = {slot_metrics("a"), slot_metrics(hostile)};
  count_attempt(metrics.slots[0], true, "", 1.5);
  count_attempt(metrics.slots[0], false, "NO_ANSWER", 12);
  count_attempt(metrics.slots[0], false, "DATA_MISMATCH", 700);
  count_attempt(metrics.slots[0], false, "NO_ANSWER", 0.5);
  count_attempt(metrics.slots[0], true, "TIMEOUT", 2);  // a pass has no code, whatever is given
  metrics.boards_in_progress = 1;
  metrics.pool = "fw.bin";
  metrics.serials_left = 96;
  metrics.ledger_writes_pending = 2;
  ProcessFacts process;
  process.start_unix_seconds = 1765237200.25;
  process.resident_bytes = 4096;
  std::string text = metrics_text(metrics, process);

  // Passed first, then the codes in order; the slot without attempts has its pass at 0.
  const std::string a = "xarveld_station_attempts_total{slot=\"a\",";
  std::size_t pass = at(text, a + "result=\"pass\",reason_code=\"\"} 2\n");
  std::size_t mismatch = at(text, a + "result=\"fail\",reason_code=\"DATA_MISMATCH\"} 1\n");
  std::size_t no_answer = at(text, a + "result=\"fail\",reason_code=\"NO_ANSWER\"} 2\n");
  EXPECT_LT(pass, mismatch);
  EXPECT_LT(mismatch, no_answer);
  const std::string escaped = "slot=\"line \\\"3\\\" C:\\\\jig\\nend\xEF\xBF\xBD\"";
  at(text, "xarveld_station_attempts_total{" + escaped +
               ",result=\"pass\",reason_code=\"\"} 0\n");
  EXPECT_EQ(text.find("TIMEOUT"), std::string::npos);

  // Buckets count everything up to their bound; 700 s is beyond the last.
  const std::string bucket = "xarveld_station_attempt_duration_seconds_bucket{slot=\"a\",le=";
  at(text, bucket + "\"1\"} 1\n" + bucket + "\"2\"} 3\n" + bucket + "\"5\"} 3\n" + bucket +
               "\"10\"} 3\n" + bucket + "\"20\"} 4\n");
  at(text, bucket + "\"600\"} 4\n" + bucket + "\"+Inf\"} 5\n");
  at(text, "xarveld_station_attempt_duration_seconds_sum{slot=\"a\"} 716\n"
           "xarveld_station_attempt_duration_seconds_count{slot=\"a\"} 5\n");
  at(text, "xarveld_station_attempt_duration_seconds_count{" + escaped + "} 0\n");

  at(text, "# TYPE xarveld_station_attempts_total counter\n");
  at(text, "# TYPE xarveld_station_attempt_duration_seconds histogram\n");
  at(text, "xarveld_station_boards_in_progress 1\n");
  at(text, "xarveld_station_serials_left{pool=\"fw.bin\"} 96\n");
  at(text, "xarveld_station_ledger_writes_pending 2\n");
  at(text, "xarveld_station_up 1\n");
  at(text, "process_start_time_seconds 1765237200.25\n");
  at(text, "process_resident_memory_bytes 4096\n");
  // What the platform could not tell is left out, not given as 0.
  EXPECT_EQ(text.find("process_open_fds"), std::string::npos);
  EXPECT_EQ(text.find("process_cpu_seconds_total"), std::string::npos);
  // Without numbers no pool is named.
  metrics.serials_left.reset();
  EXPECT_EQ(metrics_text(metrics, process).find("serials_left"), std::string::npos);

  std::string promtool = "/usr/bin/promtool";
  if (access(promtool.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "promtool not installed (Debian's prometheus package, scripts/install-deps): "
                    "the text was not checked by it";
  }
  process.open_files = 7;
  process.cpu_seconds = 0.5;
  std::string path = testing::TempDir() + "metrics.txt";
  std::ofstream(path, std::ios::binary) << metrics_text(metrics, process);
  FILE* check = popen((promtool + " check metrics < " + path + " 2>&1").c_str(), "r");
  ASSERT_NE(check, nullptr);
  std::string said;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, check) != nullptr) said += buffer;
  EXPECT_EQ(pclose(check), 0) << said;
  EXPECT_EQ(said, "");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace xarveld::station
