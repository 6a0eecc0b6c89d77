#include "station/view.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "station/terminal.hpp"

namespace xarveld::station {

namespace {
constexpr int BAR_WIDTH = 12;
constexpr std::size_t PORT_WIDTH = 24;
constexpr int REDRAW_MS = 100;
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

std::string state_word(const SlotView& slot) {
  if (slot.running) {
    std::string word = phase_name(slot.phase);
    if (slot.attempt > 1) word += " #" + std::to_string(slot.attempt);
    return word;
  }
  if (slot.queued) return "queued";
  return slot.looping ? "waiting" : "finished";
}
}  // namespace

RowWidths row_widths(const std::vector<SlotView>& slots) {
  RowWidths widths;
  for (const SlotView& slot : slots) {
    widths.name = std::max(widths.name, slot.name.size());
    widths.port = std::max(widths.port, std::min(slot.port.size(), PORT_WIDTH));
  }
  return widths;
}

std::string render_row(const SlotView& slot, const RowWidths& widths, int columns, bool colour) {
  std::string port = slot.port;
  if (port.size() > widths.port) port = "..." + port.substr(port.size() - widths.port + 3);
  char boards[32];
  std::snprintf(boards, sizeof boards, "%2d done", slot.passed + slot.failed);
  std::string row = padded(slot.name, widths.name) + "  " + padded(port, widths.port) + "  " +
                    boards + "  " + padded(state_word(slot), 12);
  int filled = 0, percent = 0;
  if (slot.running && slot.bytes_total > 0) {
    percent = static_cast<int>(slot.bytes_done * 100 / slot.bytes_total);
    filled = static_cast<int>(slot.bytes_done * BAR_WIDTH / slot.bytes_total);
  }
  char figures[96];
  std::snprintf(figures, sizeof figures, "[%s%s] %3d%% %5.1f KiB/s %5s  ",
                std::string(static_cast<std::size_t>(filled), '#').c_str(),
                std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '-').c_str(), percent,
                slot.kib_per_second, clock_time(slot.seconds).c_str());
  row += figures;
  std::string result = slot.result;
  if (!slot.result.empty() && slot.result != "PASS" && !slot.message.empty())
    result += " " + slot.message;
  // Cut to the width before colouring, so that no escape sequence is cut in two.
  std::size_t room = columns > 1 ? static_cast<std::size_t>(columns - 1) : 0;
  if (row.size() >= room) return row.substr(0, room);
  result = result.substr(0, room - row.size());
  if (colour && !result.empty()) result = (slot.result == "PASS" ? GREEN : RED) + result + PLAIN;
  return row + result;
}

std::string render_totals(const Totals& totals) {
  int boards = totals.passed + totals.failed;
  double per_hour = totals.hours > 0 ? boards / totals.hours : 0;
  char text[128];
  std::snprintf(text, sizeof text, "%d passed, %d failed, %.0f boards/hour", totals.passed,
                totals.failed, per_hour);
  return text;
}

std::string plain_start_line(const std::string& when, const SlotView& slot, int board,
                             const std::string& directory) {
  return when + " " + slot.name + " start board " + std::to_string(board) + " attempt " +
         std::to_string(slot.attempt) + " on " + slot.port + " in " + directory + "\n";
}

std::string plain_result_line(const std::string& when, const SlotView& slot, int board) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f s", slot.seconds);
  std::string line = when + " " + slot.name + " " + slot.result + " board " +
                     std::to_string(board) + " attempt " + std::to_string(slot.attempt) + " " +
                     seconds;
  if (slot.result != "PASS" && !slot.message.empty()) line += ": " + slot.message;
  return line + "\n";
}

std::string plain_summary(const std::vector<SlotView>& slots, const Totals& totals) {
  std::string text;
  RowWidths widths = row_widths(slots);
  for (const SlotView& slot : slots) {
    std::string result = slot.result.empty() ? "-" : slot.result;
    text += padded(slot.name, widths.name) + "  " + padded(slot.port, widths.port) + "  " +
            padded(result, 7) + " " + std::to_string(slot.passed) + " passed, " +
            std::to_string(slot.failed) + " failed";
    if (!slot.result.empty() && slot.result != "PASS" && !slot.message.empty())
      text += ": " + slot.message;
    text += "\n";
  }
  return text + render_totals(totals) + "\n";
}

void view_begin(bool terminal, bool colour) {
  drawing_rows = terminal;
  use_colour = colour;
  rows_drawn = 0;
}

int view_refresh(const std::vector<SlotView>& slots, const Totals& totals, bool force) {
  if (!drawing_rows) return -1;
  Clock::time_point now = Clock::now();
  auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_drawing).count();
  if (!force && rows_drawn > 0 && since < REDRAW_MS) {
    return static_cast<int>(REDRAW_MS - since);
  }
  int columns = terminal_columns();
  RowWidths widths = row_widths(slots);
  std::string screen;
  // Back to the first row, then each row cleared and written anew.
  if (rows_drawn > 0) screen += "\r\x1b[" + std::to_string(rows_drawn) + "A";
  for (const SlotView& slot : slots) {
    screen += "\x1b[2K" + render_row(slot, widths, columns, use_colour) + "\n";
  }
  screen += "\x1b[2K" + render_totals(totals) + "\n";
  terminal_write(screen);
  rows_drawn = static_cast<int>(slots.size()) + 1;
  last_drawing = now;
  return -1;
}

void view_event(const std::string& plain_line) {
  if (!drawing_rows) terminal_write(plain_line);
}

void view_end(const std::vector<SlotView>& slots, const Totals& totals) {
  if (drawing_rows) {
    view_refresh(slots, totals, true);
  } else {
    terminal_write(plain_summary(slots, totals));
  }
}

}  // namespace xarveld::station
