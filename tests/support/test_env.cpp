#include "tests/support/test_env.hpp"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "common/console.hpp"
#include "link/framing.hpp"
#include "link/receive.hpp"
#include "link/transaction.hpp"
#include "tests/support/fake_link.hpp"
#include "trace/trace_log.hpp"

namespace xarveld::test {

ScratchDir::ScratchDir() {
  char cwd[PATH_MAX];
  previous = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
  std::string pattern = (std::filesystem::temp_directory_path() / "xarveld-unit-XXXXXX").string();
  path = mkdtemp(pattern.data());
  if (chdir(path.c_str()) != 0) ADD_FAILURE() << "cannot enter " << path;
}

ScratchDir::~ScratchDir() {
  if (chdir(previous.c_str()) != 0) ADD_FAILURE() << "cannot go back to " << previous;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

ConsoleCapture::ConsoleCapture() : stream(std::tmpfile()) { console_set_stream(stream); }

ConsoleCapture::~ConsoleCapture() {
  console_set_stream(nullptr);
  std::fclose(stream);
}

std::string ConsoleCapture::text() {
  std::fflush(stream);
  std::string bytes;
  std::rewind(stream);
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) bytes.append(chunk, got);
  return bytes;
}

void LinkTest::SetUp() {
  framing_reset();
  transaction_reset();
  fake::reset();
  trace_close();
  start = fake::now();
}

std::uint64_t LinkTest::elapsed() const { return fake::now() - start; }

void LinkTest::TearDown() { trace_close(); }

std::string LinkTest::trace_text() {
  trace_close();
  return read_file("log.txt");
}

}  // namespace xarveld::test
