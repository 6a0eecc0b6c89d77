#include <algorithm>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

void ledger_back_off(LedgerQueue& queue, LedgerClock::time_point now, const std::string& error) {
  if (queue.backing_off) queue.delay = std::min(queue.delay * 2, LEDGER_RETRY_LONGEST);
  queue.backing_off = true;
  queue.retry_at = now + queue.delay;
  queue.last_error = error;
}

void ledger_reached(LedgerQueue& queue) {
  queue.backing_off = false;
  queue.delay = LEDGER_RETRY_FIRST;
}

bool ledger_may_try(const LedgerQueue& queue, LedgerClock::time_point now) {
  return !queue.backing_off || now >= queue.retry_at;
}

LedgerStatus ledger_put(const LedgerWrite& write, std::string& error) {
  if (write.settle && write.with_row)
    return ledger_settle_attempt(write.pool, write.serial, write.to, write.row, error);
  if (write.settle) {
    return ledger_settle(write.pool, write.serial, write.row.attempt_id, write.to, error);
  }
  return ledger_record_attempt(write.row, error);
}

void ledger_flush(LedgerQueue& queue, LedgerClock::time_point now, std::vector<std::string>& refused) {
  while (!queue.pending.empty() && ledger_may_try(queue, now)) {
    std::string error;
    LedgerStatus status = queue.put(queue.pending.front(), error);
    if (status == LedgerStatus::Unreachable) {
      ledger_back_off(queue, now, error);
      return;
    }
    ledger_reached(queue);
    if (status != LedgerStatus::Ok) refused.push_back(queue.pending.front().what + ": " + error);
    queue.pending.erase(queue.pending.begin());
  }
}

}  // namespace xarveld::station
