// The ledger's own thread. It alone calls the open ledger from the moment it starts to its
// finish, so the backends' process-wide connection needs no lock of its own; the loop and the
// thread share only what is below, under one mutex.
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "station/ledger/ledger.hpp"
#include "station/os/thread_wake.hpp"

namespace xarveld::station {

namespace {
using std::chrono::milliseconds;

struct Reservation {
  std::size_t slot = 0;
  LedgerReservation reservation;
};

std::mutex mutex;
std::condition_variable changed;
std::thread thread;
ThreadWake wake;
std::string counted_pool;  // empty: the numbers left are not counted

// Shared with the loop, under the mutex:
std::deque<Reservation> reservations;
std::vector<LedgerWrite> incoming;
std::vector<LedgerAnswer> answers;
LedgerHealth health;
bool finishing = false;
bool done = false;  // the thread has ended the lease
LedgerClock::time_point finish_by;

// The thread's own:
LedgerQueue queue;
LedgerClock::time_point renew_at;

void answer(LedgerAnswer reply) {
  std::lock_guard<std::mutex> lock(mutex);
  answers.push_back(std::move(reply));
  thread_wake_raise(wake);
}

// The ledger did not answer: the health says since when and why, and the try waits.
void not_answering(LedgerClock::time_point now, const std::string& error) {
  ledger_back_off(queue, now, error);
  std::lock_guard<std::mutex> lock(mutex);
  if (health.answering) health.since = now;
  health.answering = false;
  health.why = error;
  thread_wake_raise(wake);
}

void answering() {
  ledger_reached(queue);
  std::lock_guard<std::mutex> lock(mutex);
  if (health.answering) return;
  health.answering = true;
  health.why.clear();
  thread_wake_raise(wake);
}

// Around every call: the loop tells a call that does not come back from one under way.
void calling(bool under_way) {
  std::lock_guard<std::mutex> lock(mutex);
  health.calling = under_way;
  health.called = LedgerClock::now();
  // The loop then looks every second, to say a call that does not come back.
  if (under_way) thread_wake_raise(wake);
}

void renew(LedgerClock::time_point now) {
  std::string error;
  calling(true);
  LedgerStatus status = ledger_renew_lease(error);
  calling(false);
  renew_at = now + milliseconds(LEDGER_RENEW_MS);
  if (status == LedgerStatus::Unreachable) {
    not_answering(now, error);
    // Probed again as often as the rest, so that its return is seen within a second or so.
    renew_at = queue.retry_at;
  } else if (queue.pending.empty()) {
    answering();
  }
}

void flush(LedgerClock::time_point now) {
  std::vector<std::string> refused;
  calling(true);
  ledger_flush(queue, now, refused);
  calling(false);
  if (queue.backing_off) {
    not_answering(now, queue.last_error);
  } else {
    answering();
  }
  for (const std::string& line : refused) {
    LedgerAnswer reply;
    reply.what = line;
    answer(reply);
  }
}

void reserve(const Reservation& asked, LedgerClock::time_point now) {
  LedgerAnswer reply;
  reply.reservation = true;
  reply.slot = asked.slot;
  calling(true);
  reply.status = ledger_reserve(asked.reservation, reply.serial, reply.lapsed, reply.error);
  calling(false);
  if (reply.status == LedgerStatus::Unreachable) {
    std::lock_guard<std::mutex> lock(mutex);
    reservations.push_front(asked);  // asked again after the wait, before any asked later
  }
  if (reply.status == LedgerStatus::Unreachable) {
    not_answering(now, reply.error);
    return;
  }
  answering();
  if (reply.status == LedgerStatus::Ok && !counted_pool.empty()) {
    std::uint64_t left = 0;
    std::string error;
    calling(true);
    LedgerStatus counted = ledger_serials_left(counted_pool, left, error);
    calling(false);
    if (counted == LedgerStatus::Ok) {
      std::lock_guard<std::mutex> lock(mutex);
      health.has_serials_left = true;
      health.serials_left = left;
    }
  }
  answer(std::move(reply));
}

void note_waiting(const LedgerWrite& write) {
  health.unwritten.push_back(write.what);
  if (write.settle) health.unwritten_serials.push_back(write.serial);
  if (!write.settle || write.with_row) ++health.unwritten_rows;
}

void publish_waiting_writes() {
  std::lock_guard<std::mutex> lock(mutex);
  health.unwritten.clear();
  health.unwritten_serials.clear();
  health.unwritten_rows = 0;
  for (const LedgerWrite& write : queue.pending) note_waiting(write);
  for (const LedgerWrite& write : incoming) note_waiting(write);
  health.reservations_waiting = reservations.size();
}

void run() {
  renew_at = LedgerClock::now() + milliseconds(LEDGER_RENEW_MS);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    for (LedgerWrite& write : incoming) queue.pending.push_back(std::move(write));
    incoming.clear();
    LedgerClock::time_point now = LedgerClock::now();
    if (finishing && (queue.pending.empty() || now >= finish_by)) break;
    bool may_try = ledger_may_try(queue, now);
    if (may_try && now >= renew_at && !finishing) {
      lock.unlock();
      renew(now);
    } else if (may_try && !queue.pending.empty()) {
      lock.unlock();
      flush(now);
    } else if (may_try && !reservations.empty() && !finishing) {
      Reservation asked = reservations.front();
      reservations.pop_front();
      lock.unlock();
      reserve(asked, now);
    } else {
      LedgerClock::time_point until = finishing ? finish_by : renew_at;
      if (queue.backing_off && (!queue.pending.empty() || !reservations.empty())) {
        until = std::min(until, queue.retry_at);
      } else if (queue.backing_off) {
        until = std::max(until, queue.retry_at);
      }
      changed.wait_until(lock, until);
      continue;
    }
    publish_waiting_writes();
    lock.lock();
  }
  lock.unlock();
  ledger_close();
  lock.lock();
  done = true;
  changed.notify_all();
}
}  // namespace

bool ledger_worker_start(const std::string& pool, WakeHandle& wait, std::string& why) {
  if (!thread_wake_open(wake)) {
    why = "cannot make the ledger's thread a wake";
    return false;
  }
  counted_pool = pool;
  queue = LedgerQueue{};
  health = LedgerHealth{};
  finishing = done = false;
  thread = std::thread(run);
  wait = wake.wait;
  return true;
}

void ledger_worker_reserve(std::size_t slot, const LedgerReservation& reservation) {
  std::lock_guard<std::mutex> lock(mutex);
  reservations.push_back({slot, reservation});
  health.reservations_waiting = reservations.size();
  changed.notify_all();
}

void ledger_worker_cancel_reservations() {
  std::lock_guard<std::mutex> lock(mutex);
  reservations.clear();
  health.reservations_waiting = 0;
}

void ledger_worker_write(const LedgerWrite& write) {
  std::lock_guard<std::mutex> lock(mutex);
  incoming.push_back(write);
  note_waiting(write);
  changed.notify_all();
}

std::vector<LedgerAnswer> ledger_worker_take(LedgerHealth& now) {
  thread_wake_clear(wake);
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<LedgerAnswer> taken;
  taken.swap(answers);
  now = health;
  return taken;
}

void ledger_worker_finish(LedgerClock::time_point deadline, std::vector<LedgerAnswer>& left,
                          std::vector<std::string>& unwritten) {
  std::unique_lock<std::mutex> lock(mutex);
  if (!thread.joinable()) return;
  finishing = true;
  finish_by = deadline;
  reservations.clear();
  changed.notify_all();
  // A call that hangs past the deadline (a frozen server) is not waited for: the process ends
  // with it, and this station's lease lapses on the ledger.
  bool ended = changed.wait_until(lock, deadline + milliseconds(500), [] { return done; });
  left.swap(answers);
  if (ended) {
    for (const LedgerWrite& write : queue.pending) {
      unwritten.push_back(write.what + ": " + (queue.last_error.empty() ? "not tried" : queue.last_error));
    }
    for (const LedgerWrite& write : incoming) unwritten.push_back(write.what + ": not tried");
    lock.unlock();
    thread.join();
    thread_wake_close(wake);
  } else {
    for (const std::string& what : health.unwritten) {
      unwritten.push_back(what + ": " + (health.why.empty() ? "the ledger did not answer in time" : health.why));
    }
    lock.unlock();
    thread.detach();
  }
}

}  // namespace xarveld::station
