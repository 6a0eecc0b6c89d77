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
