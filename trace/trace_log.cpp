#include "trace/trace_log.hpp"

#include <cstdio>
#include <cstring>

#include "common/crlf_output.hpp"
#include "common/diagnostic.hpp"
#include "common/process_exit.hpp"
#include "trace/log_file.hpp"

namespace xarveld {

namespace {
std::FILE* trace_stream = nullptr;
// Given no buffer of its own, the C library ignores the size asked for and buffers in pieces of
// the file system's block (4 KiB): a write to the disk every 27 blocks of a yEnc run, between an
// answer and the next command.
char trace_buffer[1 << 16];

void write_text(const char* text) { write_crlf(trace_stream, text, std::strlen(text)); }

// prefix, then "%04x " per word, then suffix; prefix and suffix may hold line feeds, the words
// never do, so the record is built here with its CR LF already in place and written at once.
void write_word_record(const char* prefix, const std::uint16_t* words, std::size_t count,
                       const char* suffix) {
  static const char hex[] = "0123456789abcdef";
  char record[32 + 5 * 18 + 8];
  std::size_t used = 0;
  for (const char* p = prefix; *p != '\0'; ++p) {
    if (*p == '\n') record[used++] = '\r';
    record[used++] = *p;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (used + 5 + 8 > sizeof record) {
      std::fwrite(record, 1, used, trace_stream);
      used = 0;
    }
    std::uint16_t w = words[i];
    record[used++] = hex[(w >> 12) & 0xF];
    record[used++] = hex[(w >> 8) & 0xF];
    record[used++] = hex[(w >> 4) & 0xF];
    record[used++] = hex[w & 0xF];
    record[used++] = ' ';
  }
  for (const char* p = suffix; *p != '\0'; ++p) {
    if (*p == '\n') record[used++] = '\r';
    record[used++] = *p;
  }
  std::fwrite(record, 1, used, trace_stream);
}
}  // namespace

void trace_open() {
  // Binary: the CR LF line ends are written by write_crlf, identically on every platform.
  LogFile file = log_file_take("log.txt");
  if (file.outcome == LogFileOutcome::HeldByAnotherRun) {
    diagnose("log.txt is held by another run in this directory; this run keeps no trace");
    return;
  }
  if (file.outcome == LogFileOutcome::Failed) {
    diagnose("log.txt: %s; this run keeps no trace", file.reason.c_str());
    return;
  }
  trace_stream = file.stream;
  std::setvbuf(trace_stream, trace_buffer, _IOFBF, sizeof trace_buffer);
  at_process_end(trace_close);
}

bool trace_is_open() { return trace_stream != nullptr; }

void trace_close() {
  if (trace_stream == nullptr) return;
  std::fclose(trace_stream);
  trace_stream = nullptr;
}

void trace_command_record(const std::uint16_t* words, std::size_t count) {
  if (trace_stream == nullptr) return;
  write_word_record("\nCommand: ", words, count, "");
}

void trace_response_record(const std::uint16_t* words, std::size_t count) {
  if (trace_stream == nullptr) return;
  write_word_record("\nResponse: ", words, count, "\n\n");
}

void trace_message_record(const char* line) {
  if (trace_stream == nullptr) return;
  write_text("\nMessage: ");
  write_text(line);
}

void trace_channel_error_record(const char* line) {
  if (trace_stream == nullptr) return;
  write_text("Invalid response channel. ");
  write_text(line);
  write_text("\n");
}

void trace_line_error_record(const char* line) {
  if (trace_stream == nullptr) return;
  write_text("Invalid response. ");
  write_text(line);
  write_text("\n");
}

void trace_verify_start_record() {
  if (trace_stream == nullptr) return;
  write_text("\nVerifying data\n");
}

void trace_verify_complete_record() {
  if (trace_stream == nullptr) return;
  write_text("\nVerification complete\n");
}

}  // namespace xarveld
