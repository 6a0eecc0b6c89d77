#pragma once
// log.txt: the record of every command sent, every response accepted, every yEnc line received,
// and the start and successful end of a verification. Nothing else is written to it.
#include <cstddef>
#include <cstdint>

namespace xarveld {

// Creates or empties "log.txt" in the working directory, taken for this run alone. When it cannot
// be created, or another run in the same directory holds it (whose log is then left untouched),
// the run goes on without a trace and says so only on a terminal's standard error.
void trace_open();
bool trace_is_open();
// Flushes and closes; the process exit does the same on every other way out.
void trace_close();

// Each writer does nothing while the log is closed. Every line feed goes to the file as CR LF.
void trace_command_record(const std::uint16_t* words, std::size_t count);
void trace_response_record(const std::uint16_t* words, std::size_t count);
// A received yEnc line, shown as it arrived (escapes and closing CR included) up to its first
// zero byte; the closing CR is not a line feed and is written unchanged.
void trace_message_record(const char* line);
void trace_channel_error_record(const char* line);
void trace_line_error_record(const char* line);
void trace_verify_start_record();
void trace_verify_complete_record();

}  // namespace xarveld
