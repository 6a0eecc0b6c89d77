// The station's own files on a real disk: the record's appends when the disk takes no more, and
// the image's copy when it cannot be put in place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "station/images.hpp"
#include "station/record_file.hpp"
#include "station/sha256.hpp"

namespace xarveld::station {
namespace {

namespace fs = std::filesystem;

std::string temporary_directory() {
  char pattern[] = "/tmp/xarveld-station-files-XXXXXX";
  return mkdtemp(pattern) != nullptr ? pattern : "";
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(StationFiles, AnAppendThatFailsPartWayIsTakenBack) {
  std::string dir = temporary_directory();
  ASSERT_FALSE(dir.empty());
  std::string path = dir + "/record.jsonl";
  std::string error;
  // A line torn by a crash: the next one starts on a line of its own.
  std::ofstream(path) << "{\"torn\":";
  ASSERT_EQ(record_append(path, "{\"n\":1}\n", error), 1) << error;

  // A file-size limit stands for a full disk: the write stops part-way with EFBIG.
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = fs::file_size(path) + 100;
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int full = record_append(path, "{\"pad\":\"" + std::string(4000, 'x') + "\"}\n", error);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(full, 0);
  EXPECT_EQ(error, "File too large");

  ASSERT_EQ(record_append(path, "{\"n\":2}\n", error), 1) << error;
  EXPECT_EQ(read_text(path), "{\"torn\":\n{\"n\":1}\n{\"n\":2}\n");
  fs::remove_all(dir);
}

TEST(StationFiles, ACopyThatCannotBeRenamedIntoPlaceSaysWhy) {
  std::string dir = temporary_directory();
  ASSERT_FALSE(dir.empty());
  std::ofstream(dir + "/img.bin") << "image";
  std::string hex, error;
  ASSERT_EQ(sha256_hex("image", 5, hex, error), SHA256_DONE) << error;
  // Where the copy goes stands a directory that is not empty: the rename is refused.
  fs::create_directories(dir + "/images/" + hex + ".bin/in-the-way");
  StationImage image;
  EXPECT_EQ(prepare_image("image", dir + "/img.bin", dir + "/images", image, error), 0);
  EXPECT_EQ(error, dir + "/images/" + hex + ".bin: Is a directory");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace xarveld::station
