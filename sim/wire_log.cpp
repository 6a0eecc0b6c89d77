#include "sim/wire_log.hpp"

namespace xarveld::sim {

std::string wire_line(double milliseconds, const WireRecord& record) {
  char field[32];
  std::snprintf(field, sizeof field, "%.3f", milliseconds);
  std::string line = field;
  line += record.transmitted ? " tx " : " rx ";
  switch (record.kind) {
    case RecordKind::Raw: line += "raw"; break;
    case RecordKind::YEnc: line += "yenc"; break;
    case RecordKind::Junk: line += "junk"; break;
    case RecordKind::Lost: line += "lost"; break;
  }
  if (record.kind == RecordKind::Junk) {
    for (std::uint8_t byte : record.bytes) {
      std::snprintf(field, sizeof field, " %02x", byte);
      line += field;
    }
  } else {
    for (std::uint16_t word : record.words) {
      std::snprintf(field, sizeof field, " %04x", word);
      line += field;
    }
  }
  line += '\n';
  return line;
}

int wire_log_open(WireLog& log, const std::string& path) {
  log.file = std::fopen(path.c_str(), "w");
  log.unflushed = false;
  return log.file != nullptr ? 1 : 0;
}

void wire_log_write(WireLog& log, double milliseconds, const WireRecord& record) {
  if (log.file == nullptr) return;
  std::fputs(wire_line(milliseconds, record).c_str(), log.file);
  log.unflushed = true;
}

void wire_log_flush(WireLog& log) {
  if (log.file == nullptr || !log.unflushed) return;
  std::fflush(log.file);
  log.unflushed = false;
}

void wire_log_close(WireLog& log) {
  if (log.file == nullptr) return;
  std::fclose(log.file);
  log.file = nullptr;
  log.unflushed = false;
}

}  // namespace xarveld::sim
