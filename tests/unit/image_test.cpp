#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/console.hpp"
#include "ops/image.hpp"
#include "tests/support/test_env.hpp"

namespace xarveld {
namespace {

class ImageLoading : public ::testing::Test {
 protected:
  test::ScratchDir scratch;
  test::ConsoleCapture console;
};

TEST_F(ImageLoading, ReadsTheFileAndPadsItsLastBlockWithErasedBytes) {
  std::string bytes(1000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  test::write_file("dev.bin", bytes);
  Image image = load_image("dev.bin");
  EXPECT_EQ(image.size, 1000u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(image.bytes.get()), 1000), bytes);
  // 1000 is not a multiple of 32: the last block carries 24 bytes past the end of the file.
  for (std::size_t i = 1000; i < 1024; ++i) EXPECT_EQ(image.bytes[i], 0xFF) << i;
  EXPECT_EQ(console.text(), "\r\nLoaded Bin file: dev.bin\r\nSize = 0x000003e8 Bytes\r\n");
}

TEST_F(ImageLoading, EmptyAndFullFilesLoadWhole) {
  test::write_file("empty.bin", "");
  EXPECT_EQ(load_image("empty.bin").size, 0u);
  std::string full(IMAGE_CAPACITY, 'b');
  full[IMAGE_CAPACITY - 1] = 'L';
  test::write_file("full.bin", full);
  Image image = load_image("full.bin");
  EXPECT_EQ(image.size, IMAGE_CAPACITY);
  EXPECT_EQ(image.bytes[IMAGE_CAPACITY - 1], 'L');
  EXPECT_EQ(console.text(),
            "\r\nLoaded Bin file: empty.bin\r\nSize = 0x00000000 Bytes\r\n"
            "\r\nLoaded Bin file: full.bin\r\nSize = 0x00800000 Bytes\r\n");
}

// The message goes to stderr inside the dying child so that the death test can see it.
void load_reporting_to_stderr(const char* path) {
  console_set_stream(stderr);
  load_image(path);
}

TEST_F(ImageLoading, FilesThatCannotBeBurntWholeEndTheProcess) {
  EXPECT_EXIT(load_reporting_to_stderr("missing.bin"), ::testing::ExitedWithCode(1),
              "^Could not open bin file: missing.bin\r\n$");
  // A directory opens on POSIX but its read fails: never a shorter image.
  std::filesystem::create_directory("folder.bin");
  EXPECT_EXIT(load_reporting_to_stderr("folder.bin"), ::testing::ExitedWithCode(1),
              "^Could not open bin file: folder.bin\r\n$");
  // One byte more than 8 MiB: refused, never burnt in part and reported whole.
  test::write_file("big.bin", std::string(IMAGE_CAPACITY + 1, 'b'));
  EXPECT_EXIT(load_reporting_to_stderr("big.bin"), ::testing::ExitedWithCode(1),
              "^Bin file too large: big.bin\r\n$");
}

}  // namespace
}  // namespace xarveld
