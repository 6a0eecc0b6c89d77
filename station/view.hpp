#pragma once
// What the operator sees. On a terminal: one row per slot, redrawn in place at most 10 times a
// second, and a totals line. Otherwise: one plain line per event, without escape codes. The
// rows and lines are pure functions of the station's snapshot, the same picture the status page
// shows; view.cpp owns the drawing.
#include <string>
#include <vector>

#include "station/web/status.hpp"

namespace xarveld::station {

// An attempt that ended but is missing from the record.
struct Unrecorded {
  std::string slot;
  int board = 0;
  int attempt = 0;
  std::string result;
};

struct RowWidths {
  std::size_t name = 4;
  std::size_t port = 4;
};

// The columns of the names and ports, for a terminal of columns.
RowWidths row_widths(const std::vector<StatusSlot>& slots, int columns);
std::string render_header(const RowWidths& widths);
// One row, cut to columns; coloured with colour.
std::string render_row(const StatusSlot& slot, const RowWidths& widths, int columns, bool colour);
// The boards passed and failed, and the boards per hour.
std::string render_totals(const StatusSnapshot& snapshot);
// Plain lines, each with its line end.
std::string plain_start_line(const std::string& when, const StatusSlot& slot,
                             const std::string& directory);
std::string plain_result_line(const std::string& when, const StatusSlot& slot);
std::string plain_summary(const StatusSnapshot& snapshot);
// The record could not be written: the line kept on screen until the end, the plain line for one
// attempt left out of it, and the list of all those left out, for the end.
std::string render_record_loss(const std::string& record_path, const std::string& reason,
                               std::size_t unrecorded);
std::string plain_unrecorded_line(const std::string& when, const std::string& record_path,
                                  const std::string& reason, const Unrecorded& attempt);
std::string render_unrecorded(const std::string& record_path,
                              const std::vector<Unrecorded>& attempts);

// The drawing: terminal rows or plain lines, chosen once.
void view_begin(bool terminal, bool colour);
// Redraws the rows when at least 100 ms have passed since the last drawing and the output has
// taken it, or when forced; returns the milliseconds until a pending redraw is due (-1: nothing
// pending; VIEW_WAITS_FOR_OUTPUT: due once the output takes more).
constexpr int VIEW_WAITS_FOR_OUTPUT = -2;
int view_refresh(const StatusSnapshot& snapshot, bool force);
void view_event(const std::string& plain_line);
// The last drawing or the summary, followed by closing, then at most 2 s for the output to
// take what is queued.
void view_end(const StatusSnapshot& snapshot, const std::string& closing);

}  // namespace xarveld::station
