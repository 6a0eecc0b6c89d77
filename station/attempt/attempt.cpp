#include "station/attempt/attempt.hpp"

#include <filesystem>

#include "station/attempt/reason.hpp"
#include "station/attempt/reason_code.hpp"
#include "station/os/child_process.hpp"
#include "station/os/files.hpp"
#include "station/os/sha256.hpp"
#include "station/os/utc_time.hpp"

namespace xarveld::station {

namespace fs = std::filesystem;

namespace {
std::string absolute_name(const std::string& name) {
  std::error_code code;
  fs::path path = fs::absolute(name, code);
  return code ? name : path.lexically_normal().string();
}

// runs/SLOT/STAMP-N with the first N that no attempt has taken: made with one mkdir each, so
// that two attempts, of this station or another, never share one.
bool make_attempt_directory(const RunPlan& run, const Slot& slot, std::int64_t unix_ms,
                            std::string& directory, std::string& error) {
  fs::path slot_directory = fs::path(run.runs_directory) / slot.name;
  std::error_code code;
  fs::create_directories(slot_directory, code);
  std::string stamp = compact_utc(unix_ms);
  for (int n = 1; n < 10000; ++n) {
    fs::path candidate = slot_directory / (stamp + "-" + std::to_string(n));
    if (fs::create_directory(candidate, code)) {
      directory = candidate.generic_string();
      return true;
    }
    if (code) {
      error = candidate.string() + ": " + code.message();
      return false;
    }
  }
  error = slot_directory.string() + ": no free attempt directory";
  return false;
}

// Out at once: whoever watches the file sees the run as it goes.
void save(std::FILE* file, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
}
}  // namespace

namespace {
// Opens where the program's output goes, name + "stdout.txt" and name + "stderr.txt" in the
// attempt's directory, and starts it there. False with the reason in attempt.failure.
bool start_program(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& name, Attempt& attempt) {
  std::string output_path = attempt.directory + "/" + name + "stdout.txt";
  attempt.output = file_open_unshared(output_path, "wb");
  if (attempt.output == nullptr) {
    attempt.failure = "xarveld-station: cannot write " + output_path;
    return false;
  }
  std::string errors_path = attempt.directory + "/" + name + "stderr.txt";
  if (child_error_is_terminal()) {
    attempt.errors = file_open_unshared(errors_path, "wb");
    if (attempt.errors == nullptr) {
      attempt.failure = "xarveld-station: cannot write " + errors_path;
      return false;
    }
  }
  ChildSpec spec;
  spec.program = program;
  spec.arguments = arguments;
  spec.directory = attempt.directory;
  spec.error_file = errors_path;
  attempt.child = child_start(spec, attempt.failure);
  if (attempt.child < 0) {
    attempt.failure = "xarveld-station: " + attempt.failure;
    return false;
  }
  return true;
}

void close_outputs(Attempt& attempt) {
  if (attempt.output != nullptr) {
    std::fclose(attempt.output);
    attempt.output = nullptr;
  }
  if (attempt.errors != nullptr) {
    std::fclose(attempt.errors);
    attempt.errors = nullptr;
  }
}

std::uint64_t burnt_length(const RunPlan& run) {
  for (const StationImage& image : run.images) {
    if (image.facts.role == "image") return image.facts.size;
  }
  return 0;
}

// The read ended well: before.bin must hold the whole range. Kept read-only, so that nothing of
// the station's, nor a slip of the operator's, changes what the board held.
bool keep_backup(const RunPlan& run, Attempt& attempt) {
  std::string path = attempt.directory + "/" + BACKUP_FILE;
  std::error_code code;
  std::uint64_t size = fs::file_size(path, code);
  std::string why;
  if (code) {
    why = path + ": " + code.message();
  } else if (size != burnt_length(run)) {
    why = path + " holds " + std::to_string(size) + " bytes, not " +
          std::to_string(burnt_length(run));
  } else {
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    code);
    if (code) why = path + ": " + code.message();
  }
  if (why.empty() && !sha256_file_hex(path, attempt.backup_sha256, why)) {
    attempt.backup_sha256.clear();
    why = path + ": " + why;
  }
  if (why.empty()) return true;
  attempt.failure = "xarveld-station: " + why;
  return false;
}
}  // namespace

bool attempt_start(const RunPlan& run, const Slot& slot, const AttemptStamp& stamp, Attempt& attempt) {
  attempt = Attempt{};
  attempt.stamp = stamp;
  attempt.start_unix_ms = now_unix_ms();
  attempt.started = SteadyClock::now();
  attempt.phase_started = attempt.started;
  attempt.port = port_identity(slot.port);
  std::string port_number;
  if (!make_attempt_directory(run, slot, attempt.start_unix_ms, attempt.directory,
                              attempt.failure) ||
      !port_bind(slot.port, attempt.directory, port_number, attempt.failure)) {
    attempt.failure = "xarveld-station: " + attempt.failure;
    return false;
  }
  std::string image = run.image_copy;
  if (stamp.has_serial && !write_numbered_image(run.serial, stamp.serial, attempt.directory, image,
                                                attempt.image_sha256_burnt, attempt.failure)) {
    attempt.failure = "xarveld-station: " + attempt.failure;
    return false;
  }
  attempt.command = tool_arguments_for_run(run.tool_arguments, run.plan, image,
                                           run.driver_copy, port_number, absolute_name);
  if (run.read_tool.empty()) return start_program(run.tool, attempt.command, "", attempt);
  std::vector<std::string> read = backup_arguments(run.tool_arguments, run.plan, run.driver_copy,
                                                   port_number, burnt_length(run), BACKUP_FILE);
  if (!start_program(run.read_tool, read, "backup-", attempt)) return false;
  attempt.backing_up = true;
  return true;
}

bool attempt_poll(const RunPlan& run, bool may_burn, Attempt& attempt) {
  if (attempt.child < 0) return true;
  // Whether it has ended is asked before its output is taken: what it wrote up to its end is
  // then in this one read, and the attempt is over once both outputs have come to their end too.
  if (!attempt.ended) attempt.ended = child_ended(attempt.child, attempt.exit_status);
  std::string bytes, errors;
  if (attempt.output_open) attempt.output_open = child_read(attempt.child, bytes);
  if (attempt.errors_open) attempt.errors_open = child_read_errors(attempt.child, errors);
  if (!bytes.empty()) {
    save(attempt.output, bytes);
    // The read's output is no part of the tool's progress.
    if (!attempt.backing_up) {
      progress_feed(attempt.progress, bytes);
      keep_reason_source(attempt.output_tail, bytes);
    }
    if (attempt.progress.phase != attempt.counted_phase) {
      attempt.counted_phase = attempt.progress.phase;
      attempt.phase_started = SteadyClock::now();
    }
  }
  if (!errors.empty()) {
    if (attempt.errors != nullptr) save(attempt.errors, errors);
    keep_reason_source(attempt.error_tail, errors);
  }
  bool over = attempt.ended && !attempt.output_open && !attempt.errors_open;
  if (!over || !attempt.backing_up) return over;
  // The read keeps its trace in log.txt, as the tool does: set apart before the tool writes its own.
  std::error_code moved;
  fs::rename(attempt.directory + "/log.txt", attempt.directory + "/backup-log.txt", moved);
  if (attempt.exit_status != 0) return true;
  if (!keep_backup(run, attempt) || !may_burn) return true;
  // The tool runs in the read's place, as if it were the attempt's first program.
  close_outputs(attempt);
  child_release(attempt.child);
  attempt.child = -1;
  attempt.backing_up = false;
  attempt.ended = false;
  attempt.exit_status = -1;
  attempt.output_open = attempt.errors_open = true;
  attempt.error_tail.clear();
  attempt.phase_started = SteadyClock::now();
  return !start_program(run.tool, attempt.command, "", attempt);
}

Result attempt_result(const Attempt& attempt, const RunEnd& end) {
  if (!attempt.failure.empty()) return Result::Fail;
  Result result = classify_run(end);
  if (result == Result::Pass && attempt.backing_up)
    return end.interrupted ? Result::Aborted : Result::Fail;
  return result;
}

bool attempt_never_wrote(const Attempt& attempt, Result result) {
  return attempt.backing_up || worth_retrying(result, attempt.progress);
}

AttemptRecord attempt_finish(const RunPlan& run, const Slot& slot, int board, int attempt_number,
                             Result result, Attempt& attempt) {
  if (attempt.errors == nullptr && attempt.child >= 0) {
    attempt.error_tail = file_tail(
        attempt.directory + (attempt.backing_up ? "/backup-stderr.txt" : "/stderr.txt"),
        REASON_SOURCE_LIMIT);
  }
  close_outputs(attempt);
  if (attempt.child >= 0) {
    child_release(attempt.child);
    attempt.child = -1;
  }
  AttemptRecord record;
  record.host = run.host;
  record.station_version = run.version;
  record.slot = slot.name;
  record.port = slot.port;
  record.port_device = attempt.port.device;
  record.port_by_id = attempt.port.by_id;
  record.tool_arguments = run.tool_arguments;
  record.tool_command = attempt.command;
  for (const StationImage& image : run.images) record.images.push_back(image.facts);
  record.board = board;
  record.attempt = attempt_number;
  record.start_unix_ms = attempt.start_unix_ms;
  record.end_unix_ms = now_unix_ms();
  record.exit_status = attempt.exit_status;
  record.result = result_name(result);
  record.last_line = !attempt.failure.empty() ? attempt.failure
                     : attempt.backing_up       ? BACKUP_NOT_TAKEN
                                                : progress_last_line(attempt.progress);
  // A run that passed needs none; the station's own failure is in last_line.
  if (result != Result::Pass && attempt.failure.empty()) {
    record.reason = failure_reason(
        with_port_named(attempt.error_tail, port_bound_name(slot.port), slot.port));
  }
  RunFacts facts;
  facts.result = result;
  facts.station_failed = !attempt.failure.empty();
  facts.backup_failed = attempt.backing_up;
  facts.exit_status = attempt.exit_status;
  facts.output = attempt.output_tail;
  facts.errors = attempt.error_tail;
  record.reason_code = reason_code(facts);
  record.directory = attempt.directory;
  record.attempt_id = attempt.stamp.id;
  record.has_serial = attempt.stamp.has_serial;
  record.serial = attempt.stamp.serial;
  record.image_sha256_burnt = attempt.image_sha256_burnt;
  record.backup_sha256 = attempt.backup_sha256;
  std::string log_path = attempt.directory + "/log.txt";
  std::error_code code;
  if (!attempt.directory.empty() && fs::exists(log_path, code)) {
    // Left null when it cannot be taken: the record says no digest rather than a wrong one.
    std::string why;
    if (!sha256_file_hex(log_path, record.log_sha256, why)) record.log_sha256.clear();
  }
  return record;
}

}  // namespace xarveld::station
