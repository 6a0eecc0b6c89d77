// xarveld-line: a read-only page of the whole line, built from its ledger alone. The stations
// need no protocol between them nor with it: whatever the page shows, a station wrote into the
// ledger as it worked. One thread reads the ledger once a second and hands /line.json to the
// server; the page asks for it twice a second, so a new attempt row shows within 2 s.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "station/attempt/attempt.hpp"
#include "station/ledger/ledger.hpp"
#include "station/line/line_options.hpp"
#include "station/line/line_page.hpp"
#include "station/line/line_read.hpp"
#include "station/os/child_process.hpp"
#include "station/os/interrupt.hpp"
#include "station/os/utc_time.hpp"
#include "station/web/page_server.hpp"

namespace xarveld::station {
extern const char* const LINE_PAGE_HTML;  // station/line/line_page.html, embedded at build time
}

namespace {
using namespace xarveld::station;

constexpr std::chrono::milliseconds READ_INTERVAL{1000};
// What Ctrl-C waits for a read under way (a PostgreSQL call gives up within 6 s on its own).
constexpr std::chrono::milliseconds READ_AT_END{1000};

int refuse(const std::string& message) {
  std::fprintf(stderr, "xarveld-line: %s\n", plain_text(message).c_str());
  return LINE_REFUSED;
}

struct Reader {
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  bool done = false;
  std::string location;
  bool open = false;  // the ledger was opened and not lost for good
  LineHealth health;  // as the opening found it; then the thread's
};

// Every call to the ledger is made here, one at a time: a ledger that is slow or gone holds up
// neither the page's requests nor Ctrl-C. A ledger that could not be opened is opened again.
void read_loop(Reader& reader) {
  LineReading shown;
  LineHealth& health = reader.health;
  std::unique_lock<std::mutex> held(reader.lock);
  while (!reader.stop) {
    held.unlock();
    auto started = std::chrono::steady_clock::now();
    std::string error;
    LedgerStatus status = LedgerStatus::Ok;
    if (!reader.open) {
      status = ledger_open(reader.location, LedgerStation{}, LedgerAccess::ReadOnly, error);
      reader.open = status == LedgerStatus::Ok;
    }
    LineReading reading;
    if (status == LedgerStatus::Ok) status = line_read_view(now_unix_ms(), reading, error);
    if (status == LedgerStatus::Ok) {
      reading.hosts = shown.hosts;
      reading.yield_read_unix_ms = shown.yield_read_unix_ms;
      if (line_yield_due(shown, reading, now_unix_ms())) {
        // The new attempt goes on the page now; the yield, which reads every attempt of the
        // shift's boards, follows.
        if (shown.shift_start_unix_ms == reading.shift_start_unix_ms) {
          line_health_note(health, true, now_unix_ms(), "");
          page_server_publish(line_page_json(reading, health));
        }
        status = line_read_yield(now_unix_ms(), reading, error);
      }
    }
    if (status == LedgerStatus::Ok) shown = std::move(reading);
    line_health_note(health, status == LedgerStatus::Ok, now_unix_ms(), error);
    page_server_publish(line_page_json(shown, health));
    held.lock();
    reader.wake.wait_until(held, started + READ_INTERVAL, [&] { return reader.stop; });
  }
  reader.done = true;
  reader.wake.notify_all();
}

}  // namespace

int main(int argc, char** argv) {
  LineParse parse = parse_line_options(std::vector<std::string>(argv + 1, argv + argc));
  if (parse.outcome == LineParseOutcome::Help) {
    std::fputs(line_usage().c_str(), stderr);
    return 0;
  }
  if (parse.outcome == LineParseOutcome::Version) {
    std::fputs("xarveld-line " XARVELD_VERSION "\n", stdout);
    return 0;
  }
  if (parse.outcome == LineParseOutcome::Error) {
    return refuse(parse.message + " (see xarveld-line --help)");
  }
  const LineOptions& options = parse.options;
  if (ledger_location_has_password(options.ledger)) {
    std::fputs("xarveld-line: the password in --ledger is visible to every user of this PC: "
               "put it in ~/.pgpass or PGPASSWORD instead\n",
               stderr);
  }
  station_interrupt_install();
  std::string url;
  std::string why;
  if (!page_server_listen(options.http, options.http_names, url, why)) return refuse(why);
  // A ledger that is not there, or is no ledger, is said at once; one that cannot be reached now
  // may be later, and the page says so meanwhile.
  auto reader = std::make_unique<Reader>();
  reader->location = options.ledger.empty() ? ledger_default_location() : options.ledger;
  LedgerStatus opened =
      ledger_open(reader->location, LedgerStation{}, LedgerAccess::ReadOnly, why);
  if (opened == LedgerStatus::Refused) return refuse(why);
  reader->open = opened == LedgerStatus::Ok;
  if (!reader->open) {
    std::fprintf(stderr, "xarveld-line: %s; the page says so until it answers\n",
                 plain_text(why).c_str());
  }
  // Before the first reading, the page already says whether the ledger answers.
  reader->health.answering = reader->open;
  reader->health.since_unix_ms = now_unix_ms();
  reader->health.why = reader->open ? "" : why;
  LineReading none;
  none.view.now_unix_ms = now_unix_ms();
  none.shift_start_unix_ms = shift_start_unix_ms(none.view.now_unix_ms);
  page_server_publish(line_page_json(none, reader->health));
  if (!page_server_start(LINE_PAGE_HTML, "/line.json", why)) return refuse(why);
  std::printf("line page: %s\n", plain_text(url).c_str());
  std::fflush(stdout);
  std::thread thread(read_loop, std::ref(*reader));
  while (station_interrupt_signal() == 0) {
    wait_for_activity(1000, {station_interrupt_wake()});
  }
  page_server_stop();
  bool done = false;
  {
    std::unique_lock<std::mutex> held(reader->lock);
    reader->stop = true;
    reader->wake.notify_all();
    done = reader->wake.wait_for(held, READ_AT_END, [&] { return reader->done; });
  }
  if (!done) {
    // A read still waits on a database that does not answer: it is left to the process's end.
    thread.detach();
    reader.release();
    std::fflush(stdout);
    std::_Exit(0);
  }
  thread.join();
  ledger_close();
  return 0;
}
