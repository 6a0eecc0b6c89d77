#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>

#include "station/os/child_process.hpp"

namespace xarveld::station {

namespace {
// The pseudo console's handle and process attribute, declared here rather than by raising the
// Windows version the whole build targets: the functions are looked up when the station runs.
using PseudoConsole = void*;
constexpr DWORD_PTR ATTRIBUTE_PSEUDOCONSOLE = 0x00020016;  // ProcThreadAttributeValue(22, ...)

struct Child {
  HANDLE process = nullptr;
  HANDLE job = nullptr;  // the tool and every process it starts; null where none could be made
  DWORD process_id = 0;
  HANDLE output = nullptr;         // read end of the pipe the child's output comes through
  HANDLE console_input = nullptr;  // the pseudo console's input, where a Ctrl-C is typed
  PseudoConsole console = nullptr;
  std::thread reader;
  std::mutex mutex;
  std::string pending;  // read by the reader, not yet taken
  bool output_done = false;
  bool ended = false;
  std::int64_t status = -1;
};

std::vector<std::unique_ptr<Child>> children;
// Set by every reader thread that has read something or come to the end of its output.
HANDLE activity = CreateEventA(nullptr, FALSE, FALSE, nullptr);

using CreatePseudoConsoleFunction = HRESULT(WINAPI*)(COORD, HANDLE, HANDLE, DWORD, PseudoConsole*);
using ClosePseudoConsoleFunction = void(WINAPI*)(PseudoConsole);

struct PseudoConsoleApi {
  CreatePseudoConsoleFunction create = nullptr;
  ClosePseudoConsoleFunction close = nullptr;
};

// Windows 10 1809 and later have a pseudo console. Wine 8 has one that starts the child but
// never carries its output, so under Wine the station takes the pipe, as on an older Windows.
PseudoConsoleApi pseudo_console_api() {
  static PseudoConsoleApi api = [] {
    PseudoConsoleApi found;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) return found;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return found;
    found.create = reinterpret_cast<CreatePseudoConsoleFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CreatePseudoConsole")));
    found.close = reinterpret_cast<ClosePseudoConsoleFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "ClosePseudoConsole")));
    if (found.create == nullptr || found.close == nullptr) found = PseudoConsoleApi{};
    return found;
  }();
  return api;
}

// One argument as the C runtime's command-line parser reads it back.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  text.append(backslashes * 2, '\\');
  text += '"';
  return text;
}

std::string system_message(const char* what) {
  char text[128];
  std::snprintf(text, sizeof text, "%s failed with error %lu", what, GetLastError());
  return text;
}

void read_output(Child* child) {
  char chunk[4096];
  DWORD got = 0;
  // The end is the failed read once every writer has closed its end (ERROR_BROKEN_PIPE): a read
  // of nothing is a writer's write of nothing, and more may follow it.
  while (ReadFile(child->output, chunk, sizeof chunk, &got, nullptr)) {
    if (got == 0) continue;
    {
      std::lock_guard<std::mutex> lock(child->mutex);
      child->pending.append(chunk, got);
    }
    SetEvent(activity);
  }
  {
    std::lock_guard<std::mutex> lock(child->mutex);
    child->output_done = true;
  }
  SetEvent(activity);
}

// The station's environment without the PostgreSQL client's variables (PGPASSWORD above all),
// in any case as Windows reads names: the ledger's password is the station's, not every tool's
// and wrapper's to see. A block of NAME=VALUE strings, each ended by a zero, and one zero more.
std::vector<wchar_t> tool_environment() {
  std::vector<wchar_t> block;
  wchar_t* strings = GetEnvironmentStringsW();
  if (strings != nullptr) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      bool client =
          (entry[0] == L'P' || entry[0] == L'p') && (entry[1] == L'G' || entry[1] == L'g');
      if (!client) block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(strings);
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

HANDLE inheritable(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}
// The start's one thread attribute (the pseudo console, or the handles to inherit), in a list
// that storage holds until the process is made.
void set_one_attribute(STARTUPINFOEXA& startup, std::vector<char>& storage, DWORD_PTR key,
                       void* value, SIZE_T value_size) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  storage.resize(size);
  startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size);
  UpdateProcThreadAttribute(startup.lpAttributeList, 0, key, value, value_size, nullptr, nullptr);
}
}  // namespace

int child_start(const ChildSpec& spec, std::string& error) {
  auto child = std::make_unique<Child>();
  std::string command = quoted(spec.program);
  for (const std::string& argument : spec.arguments) {
    command += ' ';
    command += quoted(argument);
  }

  HANDLE output_write = nullptr;
  if (!CreatePipe(&child->output, &output_write, nullptr, 0)) {
    error = system_message("CreatePipe");
    return -1;
  }
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  DWORD flags = EXTENDED_STARTUPINFO_PRESENT;
  std::vector<char> attributes;
  std::vector<HANDLE> inherited;
  HANDLE null_input = nullptr, error_output = nullptr;
  PseudoConsoleApi api = pseudo_console_api();
  if (api.create != nullptr) {
    HANDLE input_read = nullptr;
    CreatePipe(&input_read, &child->console_input, nullptr, 0);
    HRESULT made = api.create(COORD{200, 50}, input_read, output_write, 0, &child->console);
    CloseHandle(input_read);
    if (FAILED(made)) {
      error = "CreatePseudoConsole failed";
      CloseHandle(output_write);
      return -1;
    }
    set_one_attribute(startup, attributes, ATTRIBUTE_PSEUDOCONSOLE, child->console,
                      sizeof child->console);
  } else {
    // No pseudo console: standard output is a pipe, which the tool fills at its end. Its own
    // process group, so that Ctrl-Break can be sent to it alone.
    SECURITY_ATTRIBUTES shared{sizeof shared, nullptr, TRUE};
    null_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &shared,
                             OPEN_EXISTING, 0, nullptr);
    error_output = CreateFileA(spec.error_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &shared,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null_input;
    startup.StartupInfo.hStdOutput = inheritable(output_write);
    startup.StartupInfo.hStdError = error_output;
    flags |= CREATE_NEW_PROCESS_GROUP;
    // These three are inheritable and the only handles the tool inherits: not another
    // attempt's files, which the C runtime opens inheritable.
    for (HANDLE handle : {null_input, output_write, error_output}) {
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE) inherited.push_back(handle);
    }
    set_one_attribute(startup, attributes, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                      inherited.size() * sizeof(HANDLE));
  }
  // Suspended until it is in its job, so that nothing it starts is outside it.
  flags |= CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  std::vector<wchar_t> environment = tool_environment();
  PROCESS_INFORMATION process{};
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  BOOL started = CreateProcessA(spec.program.c_str(), line.data(), nullptr, nullptr,
                                api.create == nullptr, flags, environment.data(),
                                spec.directory.c_str(), &startup.StartupInfo, &process);
  if (!started) error = system_message("CreateProcess");
  // The child holds its own copies now: the pipe ends when it ends.
  CloseHandle(output_write);
  if (null_input != nullptr && null_input != INVALID_HANDLE_VALUE) CloseHandle(null_input);
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE) CloseHandle(error_output);
  if (startup.lpAttributeList != nullptr) DeleteProcThreadAttributeList(startup.lpAttributeList);
  if (!started) {
    if (child->console != nullptr) api.close(child->console);
    if (child->console_input != nullptr) CloseHandle(child->console_input);
    CloseHandle(child->output);
    return -1;
  }
  // A job of its own, so that the tool ends with everything it started. Not killed when the
  // station's handle closes: a station that dies leaves its tools to end as on a closed
  // console, their traces written out.
  child->job = CreateJobObjectA(nullptr, nullptr);
  if (child->job != nullptr && !AssignProcessToJobObject(child->job, process.hProcess)) {
    CloseHandle(child->job);
    child->job = nullptr;
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  child->process = process.hProcess;
  child->process_id = process.dwProcessId;
  child->reader = std::thread(read_output, child.get());
  for (std::size_t id = 0; id < children.size(); ++id) {
    if (!children[id]) {
      children[id] = std::move(child);
      return static_cast<int>(id);
    }
  }
  children.push_back(std::move(child));
  return static_cast<int>(children.size()) - 1;
}

bool child_read(int id, std::string& bytes) {
  Child& child = *children[static_cast<std::size_t>(id)];
  std::lock_guard<std::mutex> lock(child.mutex);
  bytes += child.pending;
  child.pending.clear();
  return !child.output_done;
}

// Standard error goes to its file: a pseudo console would mix it into the output.
bool child_error_is_terminal() { return false; }

bool child_read_errors(int, std::string&) { return false; }

bool child_ended(int id, std::int64_t& status) {
  Child& child = *children[static_cast<std::size_t>(id)];
  if (!child.ended && WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(child.process, &code);
    child.ended = true;
    child.status = code;
    // The pseudo console's output ends only when the console is closed.
    if (child.console != nullptr) {
      pseudo_console_api().close(child.console);
      child.console = nullptr;
    }
  }
  status = child.status;
  return child.ended;
}

void child_signal(int id, ChildSignal signal) {
  Child& child = *children[static_cast<std::size_t>(id)];
  if (signal == ChildSignal::Kill && child.job != nullptr) {
    TerminateJobObject(child.job, 1);
    return;
  }
  if (child.ended) return;
  if (signal != ChildSignal::Kill) {
    DWORD written = 0;
    // A Ctrl-C typed into its pseudo console, or Ctrl-Break to its process group.
    if (child.console_input != nullptr && WriteFile(child.console_input, "\x03", 1, &written, nullptr))
      return;
    if (child.console_input == nullptr && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.process_id))
      return;
  }
  // Without a console to carry the request (a station started without one), it is ended.
  UINT code = signal == ChildSignal::Kill ? 1 : STATUS_CONTROL_C_EXIT;
  if (child.job == nullptr || !TerminateJobObject(child.job, code)) TerminateProcess(child.process, code);
}

// What the tool left is in its job, which was ended with it: the pipe's last writers are gone.
void child_abandon_output(int id) {
  Child& child = *children[static_cast<std::size_t>(id)];
  if (child.job != nullptr) TerminateJobObject(child.job, 1);
}

void child_release(int id) {
  std::unique_ptr<Child>& child = children[static_cast<std::size_t>(id)];
  if (child->console != nullptr) pseudo_console_api().close(child->console);
  if (child->reader.joinable()) child->reader.join();
  if (child->console_input != nullptr) CloseHandle(child->console_input);
  CloseHandle(child->output);
  CloseHandle(child->process);
  if (child->job != nullptr) CloseHandle(child->job);
  child.reset();
}

void wait_for_activity(int timeout_ms, const std::vector<WakeHandle>& readable,
                       WakeHandle writable) {
  std::vector<HANDLE> handles = {activity};
  if (writable != NO_WAKE_HANDLE) handles.push_back(reinterpret_cast<HANDLE>(writable));
  for (const std::unique_ptr<Child>& child : children) {
    if (child && !child->ended) handles.push_back(child->process);
  }
  for (WakeHandle handle : readable) {
    if (handle != NO_WAKE_HANDLE) handles.push_back(reinterpret_cast<HANDLE>(handle));
  }
  DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  if (handles.size() > MAXIMUM_WAIT_OBJECTS) {
    // More children than one wait takes: the rest are looked at every 100 ms.
    handles.resize(MAXIMUM_WAIT_OBJECTS);
    wait = std::min<DWORD>(wait, 100);
  }
  WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
}

bool child_progress_is_live() { return pseudo_console_api().create != nullptr; }

}  // namespace xarveld::station
