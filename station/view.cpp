#include "station/view.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "station/os/terminal.hpp"

namespace xarveld::station {

namespace {
constexpr int BAR_WIDTH = 10;
constexpr std::size_t PORT_WIDTH = 32;
constexpr std::size_t MIN_PORT_WIDTH = 16;
// A row without its name and port: the separators, boards, phase, bar, percentage, rate, time.
constexpr std::size_t ROW_FIXED = 2 + 2 + 4 + 2 + 10 + 2 + (BAR_WIDTH + 2 + 1 + 4) + 2 + 5 + 2 + 5 + 2;
constexpr std::size_t RESULT_ROOM = 40;
constexpr int REDRAW_MS = 100;
// At the end: how long the output may take to take the last of it before the station ends.
constexpr int FINAL_FLUSH_MS = 2000;
constexpr const char* GREEN = "\x1b[32m";
constexpr const char* RED = "\x1b[31m";
constexpr const char* PLAIN = "\x1b[0m";

using Clock = std::chrono::steady_clock;

bool drawing_rows = false;
bool use_colour = false;
int rows_drawn = 0;
Clock::time_point last_drawing;

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string clock_time(double seconds) {
  auto whole = static_cast<long>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string state_word(const StatusSlot& slot) {
  if (slot.state == SlotState::Running) {
    std::string word = slot.phase;
    if (slot.attempt > 1) word += " #" + std::to_string(slot.attempt);
    return word;
  }
  if (slot.state == SlotState::Queued) return "queued";
  if (slot.result.empty()) return "not run";
  return slot.state == SlotState::Waiting ? "waiting" : "finished";
}

// A failure's message and its reason, as far as the tool gave them.
std::string failure_text(const StatusSlot& slot) {
  std::string text = slot.message;
  if (!text.empty() && !slot.reason.empty()) text += " - ";
  text += slot.reason;
  return text;
}
}  // namespace

RowWidths row_widths(const std::vector<StatusSlot>& slots, int columns) {
  RowWidths widths;
  std::size_t longest_port = 4;
  for (const StatusSlot& slot : slots) {
    widths.name = std::max(widths.name, slot.name.size());
    longest_port = std::max(longest_port, slot.port.size());
  }
  // The port gives way first, keeping its tail (the by-path socket, the device's number), so
  // that a failure's message still has room.
  auto room = static_cast<std::size_t>(std::max(columns - 1, 0));
  std::size_t fixed = widths.name + ROW_FIXED + RESULT_ROOM;
  std::size_t port_room = room > fixed ? room - fixed : 0;
  widths.port = std::min({longest_port, PORT_WIDTH, std::max(port_room, MIN_PORT_WIDTH)});
  return widths;
}

std::string render_header(const RowWidths& widths) {
  char figures[96];
  std::snprintf(figures, sizeof figures, "%4s  %-10s  %-*s %5s  %5s  %5s  %s", "done", "phase",
                BAR_WIDTH + 2, "progress", "", "KiB/s", "time", "result");
  return padded("slot", widths.name) + "  " + padded("port", widths.port) + "  " + figures;
}

std::string render_row(const StatusSlot& slot, const RowWidths& widths, int columns, bool colour) {
  std::string port = slot.port;
  if (port.size() > widths.port && widths.port > 3) {
    std::string tail = slot.port.substr(slot.port.size() - (widths.port - 3));
    port = "...";
    port += tail;
  }
  std::string bar(BAR_WIDTH + 2 + 1 + 4, ' ');
  std::string rate(5, ' ');
  if (slot.state == SlotState::Running) {
    std::uint64_t done = std::min(slot.bytes_done, slot.bytes_total);
    int percent = 0;
    std::size_t filled = 0;
    if (slot.bytes_total > 0) {
      percent = static_cast<int>(done * 100 / slot.bytes_total);
      filled = static_cast<std::size_t>(done * BAR_WIDTH / slot.bytes_total);
    }
    bar.assign("[");
    bar.append(filled, '#');
    bar.append(BAR_WIDTH - filled, '-');
    bar.append("] ");
    char figure[16];
    std::snprintf(figure, sizeof figure, "%3d%%", percent);
    bar += figure;
    std::snprintf(figure, sizeof figure, "%5.1f", slot.kib_per_second);
    rate = figure;
  }
  char figures[160];
  std::snprintf(figures, sizeof figures, "%4d  %-10s  %s  %s  %5s  ", slot.passed + slot.failed,
                state_word(slot).c_str(), bar.c_str(), rate.c_str(),
                clock_time(slot.seconds).c_str());
  std::string row = padded(slot.name, widths.name) + "  " + padded(port, widths.port) + "  " + figures;
  std::string result = slot.result;
  std::string failure = failure_text(slot);
  if (!slot.result.empty() && slot.result != "PASS" && !failure.empty()) result += " " + failure;
  if (slot.waiting_for_ledger) result = "waiting for ledger";
  // The operator writes the board's number on it: the running board's, or the last one's.
  if (!slot.serial.empty() && !slot.waiting_for_ledger) {
    result = "#" + slot.serial + (result.empty() ? "" : " " + result);
  }
  // Cut to the width before colouring, so that no escape sequence is cut in two.
  std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
  if (row.size() >= room) return row.substr(0, room);
  result = result.substr(0, room - row.size());
  bool coloured = colour && !result.empty() && (!slot.result.empty() || slot.waiting_for_ledger);
  if (coloured) result = (slot.result == "PASS" ? GREEN : RED) + result + PLAIN;
  return row + result;
}

std::string render_totals(const StatusSnapshot& snapshot) {
  std::string text = std::to_string(snapshot.passed) + " passed, " +
                     std::to_string(snapshot.failed) + " failed";
  if (std::optional<double> rate = boards_per_hour(snapshot)) {
    char per_hour[48];
    std::snprintf(per_hour, sizeof per_hour, ", %.0f boards/hour", *rate);
    text += per_hour;
  }
  return text;
}

std::string plain_start_line(const std::string& when, const StatusSlot& slot,
                             const std::string& directory) {
  return when + " " + slot.name + " start board " + std::to_string(slot.board) + " attempt " +
         std::to_string(slot.attempt) + " on " + slot.port + " in " + directory +
         (slot.serial.empty() ? "" : " serial " + slot.serial) + "\n";
}

std::string plain_result_line(const std::string& when, const StatusSlot& slot) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", slot.seconds);
  std::string line = when + " " + slot.name + " " + slot.result + " board " +
                     std::to_string(slot.board) + " attempt " + std::to_string(slot.attempt) + " " +
                     seconds;
  std::string failure = failure_text(slot);
  if (slot.result != "PASS" && !failure.empty()) line += ": " + failure;
  return line + "\n";
}

std::string plain_summary(const StatusSnapshot& snapshot) {
  std::string text;
  RowWidths widths = row_widths(snapshot.slots, 1000);
  for (const StatusSlot& slot : snapshot.slots) {
    std::string result = slot.result.empty() ? "-" : slot.result;
    text += padded(slot.name, widths.name) + "  " + padded(slot.port, widths.port) + "  " +
            padded(result, 7) + " " + std::to_string(slot.passed) + " passed, " +
            std::to_string(slot.failed) + " failed";
    std::string failure = failure_text(slot);
    if (!slot.result.empty() && slot.result != "PASS" && !failure.empty()) text += ": " + failure;
    text += "\n";
  }
  return text + render_totals(snapshot) + "\n";
}

std::string render_record_loss(const std::string& record_path, const std::string& reason,
                               std::size_t unrecorded) {
  return record_path + " cannot be written: " + reason + "; no new board starts, " +
         std::to_string(unrecorded) + (unrecorded == 1 ? " attempt" : " attempts") +
         " not recorded";
}

std::string plain_unrecorded_line(const std::string& when, const std::string& record_path,
                                  const std::string& reason, const Unrecorded& attempt) {
  return when + " " + attempt.slot + " NOT RECORDED board " + std::to_string(attempt.board) +
         " attempt " + std::to_string(attempt.attempt) + " " + attempt.result + ": " +
         record_path + " cannot be written: " + reason + "; no new board starts\n";
}

std::string render_unrecorded(const std::string& record_path,
                              const std::vector<Unrecorded>& attempts) {
  std::string text;
  for (const Unrecorded& attempt : attempts) {
    text += "not in " + record_path + ": " + attempt.slot + " board " +
            std::to_string(attempt.board) + " attempt " + std::to_string(attempt.attempt) + " " +
            attempt.result + "\n";
  }
  return text;
}

void view_begin(bool terminal, bool colour) {
  drawing_rows = terminal;
  use_colour = colour;
  rows_drawn = 0;
}

int view_refresh(const StatusSnapshot& snapshot, bool force) {
  if (!drawing_rows) return -1;
  Clock::time_point now = Clock::now();
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_drawing).count();
  if (!force && rows_drawn > 0 && since < REDRAW_MS) {
    return static_cast<int>(REDRAW_MS - since);
  }
  // Drawings the output has not taken are not piled up: the next comes once it has.
  if (!force && !terminal_flush(0)) return VIEW_WAITS_FOR_OUTPUT;
  int columns = terminal_columns();
  RowWidths widths = row_widths(snapshot.slots, columns);
  std::string screen;
  // Back to the first row, then each row cleared and written anew.
  if (rows_drawn > 0) screen += "\r\x1b[" + std::to_string(rows_drawn) + "A";
  screen += "\x1b[2K" + render_header(widths).substr(0, static_cast<std::size_t>(std::max(columns - 1, 0))) + "\n";
  for (const StatusSlot& slot : snapshot.slots) {
    screen += "\x1b[2K" + render_row(slot, widths, columns, use_colour) + "\n";
  }
  screen += "\x1b[2K" + render_totals(snapshot) + "\n";
  rows_drawn = static_cast<int>(snapshot.slots.size()) + 2;
  for (const std::string& notice : snapshot.notices) {
    // Cut like the rows: a line the terminal wrapped would throw the count of rows out.
    std::string line = notice.substr(0, static_cast<std::size_t>(std::max(columns - 1, 0)));
    if (use_colour) line = RED + line + PLAIN;
    screen += "\x1b[2K" + line + "\n";
    ++rows_drawn;
  }
  terminal_write(screen);
  last_drawing = now;
  return -1;
}

void view_event(const std::string& plain_line) {
  if (!drawing_rows) terminal_write(plain_line);
}

void view_end(const StatusSnapshot& snapshot, const std::string& closing) {
  if (drawing_rows) {
    view_refresh(snapshot, true);
    // A row is cut to the terminal's width; below the rows each failure is said whole.
    std::string failures;
    for (const StatusSlot& slot : snapshot.slots) {
      if (slot.result.empty() || slot.result == "PASS") continue;
      failures += slot.name + ": " + slot.result;
      std::string failure = failure_text(slot);
      if (!failure.empty()) failures += ' ' + failure;
      failures += "\n";
    }
    terminal_write(failures + closing);
  } else {
    terminal_write(plain_summary(snapshot) + closing);
  }
  terminal_flush(FINAL_FLUSH_MS);
}

}  // namespace xarveld::station
