#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "station/os/terminal.hpp"

namespace xarveld::station {

namespace {
constexpr std::size_t QUEUE_LIMIT = std::size_t{1} << 20;

// A console or pipe that does not move blocks WriteFile, so a thread of its own writes; the main
// path only queues. Never destroyed: the writer may still be in a write as the process ends.
struct Output {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;
  std::size_t queued_bytes = 0;
  bool writing = false;  // the front is being written
  HANDLE drained = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  bool writer_started = false;
};

Output& output() {
  static Output* const shared = new Output;
  return *shared;
}

void write_out(Output* out) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  std::unique_lock<std::mutex> lock(out->mutex);
  for (;;) {
    out->changed.wait(lock, [out] { return !out->queue.empty(); });
    out->writing = true;
    std::string text = out->queue.front();
    lock.unlock();
    bool written = true;
    std::size_t done = 0;
    while (written && done < text.size()) {
      DWORD wrote = 0;
      DWORD size = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 65536));
      written = WriteFile(handle, text.data() + done, size, &wrote, nullptr) && wrote > 0;
      done += wrote;
    }
    lock.lock();
    out->writing = false;
    out->queued_bytes -= out->queue.front().size();
    out->queue.pop_front();
    if (!written) {
      // Output nobody can read any more (a closed pipe) is dropped.
      out->queue.clear();
      out->queued_bytes = 0;
    }
    if (out->queue.empty()) {
      SetEvent(out->drained);
      out->changed.notify_all();
    }
  }
}
}  // namespace

bool terminal_prepare() {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return false;
  // The rows are drawn with the escape sequences every terminal takes.
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
  return 80;
}

void terminal_write(const std::string& text) {
  if (text.empty()) return;
  Output& out = output();
  std::lock_guard<std::mutex> lock(out.mutex);
  if (!out.writer_started) {
    std::thread(write_out, &out).detach();
    out.writer_started = true;
  }
  out.queue.push_back(text);
  out.queued_bytes += text.size();
  // The front may be being written: it goes out whole. After it, the oldest give way.
  std::size_t oldest = out.writing ? 1 : 0;
  while (out.queued_bytes > QUEUE_LIMIT && out.queue.size() > oldest + 1) {
    out.queued_bytes -= out.queue[oldest].size();
    out.queue.erase(out.queue.begin() + static_cast<std::ptrdiff_t>(oldest));
  }
  out.changed.notify_all();
}

bool terminal_flush(int wait_ms) {
  Output& out = output();
  std::unique_lock<std::mutex> lock(out.mutex);
  return out.changed.wait_for(lock, std::chrono::milliseconds(wait_ms),
                              [&out] { return out.queue.empty(); });
}

WakeHandle terminal_wake() {
  Output& out = output();
  std::lock_guard<std::mutex> lock(out.mutex);
  return out.queue.empty() ? NO_WAKE_HANDLE : reinterpret_cast<WakeHandle>(out.drained);
}

}  // namespace xarveld::station
