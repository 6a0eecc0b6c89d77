// The ledger's writes that wait, against a scripted ledger and a clock the case moves: the order
// they go in, the back-off while the ledger is out of reach, and what it refuses for good.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// What the scripted ledger answers, call by call, and what it was asked.
std::deque<LedgerStatus> answers;
std::vector<std::string> asked;

LedgerStatus scripted_put(const LedgerWrite& write, std::string& error) {
  asked.push_back(write.what);
  LedgerStatus status = answers.empty() ? LedgerStatus::Ok : answers.front();
  if (!answers.empty()) answers.pop_front();
  if (status != LedgerStatus::Ok) error = "no answer to " + write.what;
  return status;
}

LedgerWrite write_of(const std::string& what, bool settle) {
  LedgerWrite write;
  write.what = what;
  write.settle = settle;
  return write;
}

TEST(LedgerWriteQueue, WritesWaitInOrderBackingOffToOneSecondAndRefusalsAreSaid) {
  answers.clear();
  asked.clear();
  LedgerQueue queue;
  queue.put = scripted_put;
  const LedgerClock::time_point start{};
  std::vector<std::string> refused;

  queue.pending = {write_of("a1 serial", true)};
  ledger_flush(queue, start, refused);
  EXPECT_TRUE(queue.pending.empty());
  answers = {LedgerStatus::Unreachable};
  // The row waits behind its number, and neither is asked again while the ledger is waited out.
  queue.pending = {write_of("a2 serial", true), write_of("a2 row", false)};
  ledger_flush(queue, start, refused);
  EXPECT_EQ(queue.last_error, "no answer to a2 serial");
  ledger_flush(queue, start + milliseconds(249), refused);
  EXPECT_EQ(asked, (std::vector<std::string>{"a1 serial", "a2 serial"}));
  EXPECT_FALSE(ledger_may_try(queue, start + milliseconds(249)));
  EXPECT_TRUE(ledger_may_try(queue, start + milliseconds(250)));

  // Each try that finds it out of reach waits twice as long, up to 1 s: boards that wait for
  // numbers start within a second or two of its return.
  LedgerClock::time_point now = start + milliseconds(250);
  for (int wait : {500, 1000, 1000}) {
    answers = {LedgerStatus::Unreachable};
    ledger_flush(queue, now, refused);
    EXPECT_EQ(queue.retry_at - now, milliseconds(wait));
    ledger_flush(queue, queue.retry_at - milliseconds(1), refused);  // too early: not asked
    now = queue.retry_at;
  }
  EXPECT_EQ(asked.size(), 2u + 3u);
  queue.pending.push_back(write_of("a3 row", false));

  // Back: the writes go in order, one the ledger refuses is dropped and said, and the first
  // that finds it gone again stops the rest.
  answers = {LedgerStatus::Ok, LedgerStatus::Refused, LedgerStatus::Unreachable};
  asked.clear();
  ledger_flush(queue, now, refused);
  EXPECT_EQ(asked, (std::vector<std::string>{"a2 serial", "a2 row", "a3 row"}));
  EXPECT_EQ(refused, (std::vector<std::string>{"a2 row: no answer to a2 row"}));
  ASSERT_EQ(queue.pending.size(), 1u);
  EXPECT_EQ(queue.retry_at - now, milliseconds(250)) << "the ledger answered: the wait starts short";
  ledger_flush(queue, queue.retry_at, refused);
  EXPECT_TRUE(queue.pending.empty());
  EXPECT_FALSE(queue.backing_off);
}

}  // namespace
}  // namespace xarveld::station
