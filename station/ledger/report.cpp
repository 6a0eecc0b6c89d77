#include <algorithm>

#include "station/ledger/ledger.hpp"

namespace xarveld::station {

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
  const std::vector<std::string> headers = {"first",    "last",     "used", "spoiled",
                                            "returned", "reserved", "left", "lapse-settled"};
  std::size_t width = 4;
  for (const PoolReport& pool : pools) width = std::max(width, pool.pool.size());
  auto line = [&](const std::string& name, const std::vector<std::string>& figures) {
    std::string text = name + std::string(width - name.size(), ' ');
    for (std::size_t i = 0; i < figures.size(); ++i) {
      std::size_t column = std::max<std::size_t>(9, headers[i].size());
      const std::string& figure = figures[i];
      text += "  " + std::string(figure.size() < column ? column - figure.size() : 0, ' ') + figure;
    }
    return text + "\n";
  };
  std::string table = line("pool", headers);
  for (const PoolReport& p : pools) {
    table += line(p.pool, {std::to_string(p.first), std::to_string(p.last), std::to_string(p.used),
                           std::to_string(p.spoiled), std::to_string(p.returned),
                           std::to_string(p.reserved), std::to_string(p.left),
                           std::to_string(p.lapse_settled)});
  }
  return table;
}

std::string csv_header() {
  return "pool,serial,state,attempt_id,station_id,host,slot,board,result\r\n";
}

std::string csv_use_line(const SerialUse& use) {
  std::string text;
  for (const std::string& field :
       {use.pool, std::to_string(use.serial), use.state, use.attempt_id, use.station_id, use.host,
        use.slot, use.board > 0 ? std::to_string(use.board) : std::string()}) {
    text += csv_field(field) + ",";
  }
  return text + csv_field(use.result) + "\r\n";
}

}  // namespace xarveld::station
