#include "station/ledger/write_queue.hpp"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "station/os/child_process.hpp"
#include "station/os/sha256.hpp"

namespace xarveld::station {

namespace fs = std::filesystem;

std::string random_id() {
  std::random_device source;
  std::string id;
  char word[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(source()));
    id += word;
  }
  return id;
}

std::string numbered_image(const LedgerPlan& plan, std::uint64_t number) {
  std::string image = plan.base_image;
  std::vector<unsigned char> field = serial_field_bytes(plan.format, number);
  for (std::size_t i = 0; i < field.size() && plan.offset + i < image.size(); ++i) {
    image[plan.offset + i] = static_cast<char>(field[i]);
  }
  return image;
}

int write_numbered_image(const LedgerPlan& plan, std::uint64_t number, const std::string& directory,
                         std::string& path, std::string& sha256, std::string& error) {
  std::string bytes = numbered_image(plan, number);
  std::string why;
  if (sha256_hex(bytes.data(), bytes.size(), sha256, why) != SHA256_DONE) {
    error = "cannot take the SHA-256 of the numbered image: " + why;
    return 0;
  }
  std::error_code code;
  fs::path file = fs::absolute(fs::path(directory) / ("image-" + std::to_string(number) + ".bin"), code);
  path = file.string();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(file_open_unshared(path, "wb"), std::fclose);
  bool written = out && std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size() &&
                 std::fflush(out.get()) == 0;
  if (!written) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return 0;
  }
  out.reset();
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, code);
  return 1;
}

void ledger_back_off(LedgerQueue& queue, LedgerClock::time_point now, const std::string& error) {
  if (queue.backing_off) queue.delay = std::min(queue.delay * 2, std::chrono::milliseconds(30000));
  queue.backing_off = true;
  queue.retry_at = now + queue.delay;
  queue.last_error = error;
}

void ledger_reached(LedgerQueue& queue) {
  queue.backing_off = false;
  queue.delay = std::chrono::milliseconds(1000);
}

bool ledger_may_try(const LedgerQueue& queue, LedgerClock::time_point now) {
  return !queue.backing_off || now >= queue.retry_at;
}

namespace {
LedgerStatus put(const LedgerWrite& write, std::string& error) {
  if (write.settle) return ledger_settle(write.pool, write.serial, write.row.attempt_id, write.to, error);
  return ledger_record_attempt(write.row, error);
}
}  // namespace

std::string ledger_write(LedgerQueue& queue, const LedgerWrite& write, LedgerClock::time_point now) {
  // Behind what waits: a number is settled before its attempt's row, and a ledger that is down
  // is not asked again before its time.
  if (!queue.pending.empty() || !ledger_may_try(queue, now)) {
    queue.pending.push_back(write);
    return "the ledger cannot be reached: " + queue.last_error;
  }
  std::string error;
  LedgerStatus status = put(write, error);
  if (status == LedgerStatus::Ok) {
    ledger_reached(queue);
    return "";
  }
  if (status == LedgerStatus::Unreachable) {
    queue.pending.push_back(write);
    ledger_back_off(queue, now, error);
  }
  return error;
}

void ledger_flush(LedgerQueue& queue, LedgerClock::time_point now, std::vector<std::string>& refused) {
  while (!queue.pending.empty() && ledger_may_try(queue, now)) {
    std::string error;
    LedgerStatus status = put(queue.pending.front(), error);
    if (status == LedgerStatus::Unreachable) {
      ledger_back_off(queue, now, error);
      return;
    }
    ledger_reached(queue);
    if (status != LedgerStatus::Ok) refused.push_back(queue.pending.front().what + ": " + error);
    queue.pending.erase(queue.pending.begin());
  }
}

std::string csv_field(const std::string& text) {
  bool quote = text.find_first_of(",\"\r\n") != std::string::npos ||
               (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return text;
  std::string field = "\"";
  for (char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  return field + "\"";
}

std::string render_pool_table(const std::vector<PoolReport>& pools) {
  std::size_t width = 4;
  for (const PoolReport& pool : pools) width = std::max(width, pool.pool.size());
  auto line = [&](const std::string& name, const std::vector<std::string>& figures) {
    std::string text = name + std::string(width - name.size(), ' ');
    for (const std::string& figure : figures) {
      text += "  " + std::string(figure.size() < 9 ? 9 - figure.size() : 0, ' ') + figure;
    }
    return text + "\n";
  };
  std::string table = line("pool", {"first", "last", "used", "spoiled", "returned", "reserved", "left"});
  for (const PoolReport& p : pools) {
    table += line(p.pool, {std::to_string(p.first), std::to_string(p.last), std::to_string(p.used),
                           std::to_string(p.spoiled), std::to_string(p.returned),
                           std::to_string(p.reserved), std::to_string(p.left)});
  }
  return table;
}

std::string render_uses_csv(const std::vector<SerialUse>& uses) {
  std::string text = "pool,serial,state,attempt_id,station_id,host,slot,result\r\n";
  for (const SerialUse& use : uses) {
    for (const std::string& field : {use.pool, std::to_string(use.serial), use.state, use.attempt_id,
                                     use.station_id, use.host, use.slot}) {
      text += csv_field(field) + ",";
    }
    text += csv_field(use.result) + "\r\n";
  }
  return text;
}

}  // namespace xarveld::station
