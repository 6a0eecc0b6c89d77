#include <windows.h>

#include <thread>

#include "station/os/operator_input.hpp"

namespace xarveld::station {

namespace {
HANDLE input_came = CreateEventA(nullptr, FALSE, FALSE, nullptr);
volatile LONG lines_waiting = 0;
volatile LONG input_ended = 0;
bool listening = false;
DWORD saved_mode = 0;
bool echo_turned_off = false;

// Standard input cannot be waited on as a handle when it is a pipe: a thread reads it.
void read_lines() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char chunk[256];
  DWORD got = 0;
  while (ReadFile(input, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (chunk[i] == '\n') InterlockedIncrement(&lines_waiting);
    }
    SetEvent(input_came);
  }
  InterlockedExchange(&input_ended, 1);
}
}  // namespace

void operator_input_start() {
  listening = true;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (GetConsoleMode(input, &saved_mode)) {
    echo_turned_off = SetConsoleMode(input, saved_mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  static bool reading = false;
  if (!reading) {
    reading = true;
    std::thread(read_lines).detach();
  }
}

void operator_input_stop() {
  if (echo_turned_off) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_mode);
  echo_turned_off = false;
  listening = false;
}

WakeHandle operator_input_wake() {
  if (!listening || InterlockedCompareExchange(&input_ended, 0, 0) != 0) return NO_WAKE_HANDLE;
  return reinterpret_cast<WakeHandle>(input_came);
}

int operator_input_take_lines() {
  if (!listening) return 0;
  return static_cast<int>(InterlockedExchange(&lines_waiting, 0));
}

}  // namespace xarveld::station
