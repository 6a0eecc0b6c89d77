#pragma once
// What unit tests share: a scratch working directory (log.txt is written there), the console
// captured into a string, and the process-wide link state put back as at process start.
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/files.hpp"

namespace xarveld::test {

// A fresh directory, made the working directory for the test's life.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::string path;
  std::string previous;
};

// Console output goes to a temporary file for the capture's life.
struct ConsoleCapture {
  ConsoleCapture();
  ~ConsoleCapture();
  std::string text();
  std::FILE* stream;
};

// Every link test starts from the process-start state: raw framing, empty accumulator, 20-s
// reply timeout, fake port open with nothing scripted, no trace log; console captured.
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // log.txt as written so far (the trace is flushed by closing it).
  std::string trace_text();
  // Fake-clock ticks since the test started.
  std::uint64_t elapsed() const;
  std::uint64_t start = 0;
  ScratchDir scratch;
  ConsoleCapture console;
};

}  // namespace xarveld::test
