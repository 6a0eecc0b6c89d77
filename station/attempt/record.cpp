#include "station/attempt/record.hpp"

#include <nlohmann/json.hpp>

#include "station/os/utc_time.hpp"

namespace xarveld::station {

namespace {
nlohmann::json text_or_null(const std::string& text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}
}  // namespace

std::string record_json_line(const AttemptRecord& record) {
  nlohmann::ordered_json line;
  line["host"] = record.host;
  line["station_version"] = record.station_version;
  line["slot"] = record.slot;
  line["port"] = record.port;
  line["port_device"] = record.port_device;
  line["port_by_id"] = text_or_null(record.port_by_id);
  line["tool_arguments"] = record.tool_arguments;
  line["tool_command"] = record.tool_command;
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (const ImageFacts& image : record.images) {
    images.push_back(
        {{"role", image.role}, {"name", image.name}, {"size", image.size}, {"sha256", image.sha256}});
  }
  line["images"] = images;
  line["board"] = record.board;
  line["attempt"] = record.attempt;
  line["start"] = iso_utc(record.start_unix_ms);
  line["end"] = iso_utc(record.end_unix_ms);
  line["duration_s"] = static_cast<double>(record.end_unix_ms - record.start_unix_ms) / 1000.0;
  line["exit_status"] = record.exit_status;
  line["result"] = record.result;
  line["last_line"] = record.last_line;
  line["reason"] = text_or_null(record.reason);
  line["reason_code"] = text_or_null(record.reason_code);
  line["directory"] = record.directory;
  line["log_sha256"] = text_or_null(record.log_sha256);
  line["attempt_id"] = record.attempt_id;
  line["serial"] = record.has_serial ? nlohmann::json(record.serial) : nlohmann::json(nullptr);
  line["image_sha256_burnt"] = text_or_null(record.image_sha256_burnt);
  line["ledger_error"] = text_or_null(record.ledger_error);
  line["backup_sha256"] = text_or_null(record.backup_sha256);
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace xarveld::station
