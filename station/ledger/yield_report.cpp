// The yield and the Pareto as people read them (aligned tables) and as programs read them (CSV,
// RFC 4180 with CRLF, as the report of numbers is).
#include <algorithm>
#include <cstdio>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

namespace {

// "75.0%"; "-" of nothing, where a share has no meaning.
std::string percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) /
                                                 static_cast<double>(whole));
  return text;
}

// A name column as wide as its longest entry, then figures right-aligned in theirs.
std::string table(const std::vector<std::string>& headers,
                  const std::vector<std::vector<std::string>>& lines) {
  std::vector<std::size_t> widths(headers.size());
  for (std::size_t i = 0; i < headers.size(); ++i) widths[i] = headers[i].size();
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  }
  std::string text;
  auto add = [&](const std::vector<std::string>& cells) {
    std::string line = cells[0] + std::string(widths[0] - cells[0].size(), ' ');
    for (std::size_t i = 1; i < cells.size(); ++i)
      line += "  " + std::string(widths[i] - cells[i].size(), ' ') + cells[i];
    while (line.back() == ' ') line.pop_back();
    text += line + "\n";
  };
  add(headers);
  for (const auto& line : lines) add(line);
  return text;
}

std::vector<std::string> yield_cells(const YieldRow& row) {
  return {row.group,
          std::to_string(row.boards),
          std::to_string(row.attempts),
          std::to_string(row.attempts - row.boards),
          std::to_string(row.first_pass),
          std::to_string(row.final_pass),
          percent(row.first_pass, row.boards),
          percent(row.final_pass, row.boards)};
}

std::string yield_csv_line(const YieldRow& row) {
  return csv_field(row.group) + "," + std::to_string(row.boards) + "," +
         std::to_string(row.attempts) + "," + std::to_string(row.first_pass) + "," +
         std::to_string(row.final_pass) + "\r\n";
}

}  // namespace

YieldRow yield_sum(const std::vector<YieldRow>& groups) {
  YieldRow total{"total"};
  for (const YieldRow& row : groups) {
    total.boards += row.boards;
    total.attempts += row.attempts;
    total.first_pass += row.first_pass;
    total.final_pass += row.final_pass;
  }
  return total;
}

std::string render_yield_table(const std::vector<YieldRow>& groups, const YieldRow& total) {
  std::vector<std::vector<std::string>> lines;
  for (const YieldRow& row : groups) lines.push_back(yield_cells(row));
  lines.push_back(yield_cells(total));
  return table({"group", "boards", "attempts", "retests", "first-pass", "final-pass",
                "first-pass yield", "final yield"},
               lines);
}

std::string yield_csv(const std::vector<YieldRow>& groups, const YieldRow& total) {
  std::string text = "group,boards,attempts,first_pass,final_pass\r\n";
  for (const YieldRow& row : groups) text += yield_csv_line(row);
  return text + yield_csv_line(total);
}

std::string pareto_share(std::uint64_t attempts, std::uint64_t failed) {
  char text[16];
  std::snprintf(text, sizeof text, "%.4f",
                failed == 0 ? 0.0 : static_cast<double>(attempts) / static_cast<double>(failed));
  return text;
}

std::string render_pareto_table(const std::vector<ParetoRow>& rows) {
  std::uint64_t failed = 0, so_far = 0;
  for (const ParetoRow& row : rows) failed += row.attempts;
  std::vector<std::vector<std::string>> lines;
  for (const ParetoRow& row : rows) {
    so_far += row.attempts;
    lines.push_back({row.reason_code, std::to_string(row.attempts), percent(row.attempts, failed),
                     percent(so_far, failed)});
  }
  lines.push_back({"failed", std::to_string(failed), percent(failed, failed), ""});
  return table({"reason", "attempts", "share", "cumulative"}, lines);
}

std::string pareto_csv(const std::vector<ParetoRow>& rows) {
  std::uint64_t failed = 0;
  for (const ParetoRow& row : rows) failed += row.attempts;
  std::string text = "reason_code,attempts,share\r\n";
  for (const ParetoRow& row : rows) {
    text += csv_field(row.reason_code) + "," + std::to_string(row.attempts) + "," +
            pareto_share(row.attempts, failed) + "\r\n";
  }
  return text;
}

}  // namespace xarveld::station
