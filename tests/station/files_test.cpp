// The station's own files on a real disk: the record's appends when the disk takes no more, and
// the image's copy when it cannot be put in place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <random>

#include "station/attempt/images.hpp"
#include "station/os/files.hpp"
#include "station/os/record_file.hpp"
#include "station/os/sha256.hpp"

namespace xarveld::station {
namespace {

namespace fs = std::filesystem;

TEST(StationFiles, AnAppendThatFailsPartWayIsTakenBack) {
  char dir[] = "/tmp/xarveld-station-files-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/record.jsonl", error;
  // A line torn by a crash: the next one starts on a line of its own.
  std::ofstream(path) << "{\"torn\":";
  ASSERT_TRUE(record_append(path, "{\"n\":1}\n", error)) << error;

  // A file-size limit stands for a full disk: the write stops part-way with EFBIG.
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = fs::file_size(path) + 100;
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  bool full = record_append(path, "{\"pad\":\"" + std::string(4000, 'x') + "\"}\n", error);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(full);
  EXPECT_EQ(error, "File too large");

  ASSERT_TRUE(record_append(path, "{\"n\":2}\n", error)) << error;
  std::ifstream file(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "{\"torn\":\n{\"n\":1}\n{\"n\":2}\n");
  fs::remove_all(dir);
}

TEST(StationFiles, ACopyThatCannotBeRenamedIntoPlaceSaysWhy) {
  char dir[] = "/tmp/xarveld-station-files-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string images = std::string(dir) + "/images", hex, error;
  std::ofstream(std::string(dir) + "/img.bin") << "image";
  ASSERT_TRUE(sha256_hex("image", 5, hex, error)) << error;
  // Where the copy goes stands a directory that is not empty: the rename is refused.
  fs::create_directories(images + "/" + hex + ".bin/in-the-way");
  StationImage image;
  EXPECT_FALSE(prepare_image("image", std::string(dir) + "/img.bin", images, image, error));
  EXPECT_EQ(error, images + "/" + hex + ".bin: Is a directory");
  fs::remove_all(dir);
}

// A file's digest is taken in 64-KiB pieces: sizes on each side of a piece give the digest of
// the whole; the station's own files are written read-only, read back whole and by their end.
TEST(StationFiles, DigestsReadInPiecesAndFilesWrittenReadOnly) {
  char dir[] = "/tmp/xarveld-station-files-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::mt19937 random(7);
  std::string why;
  for (std::size_t size : {0, 1, 65535, 65536, 65537, 200000}) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    std::string path = std::string(dir) + "/" + std::to_string(size) + ".bin", whole, read, tail;
    ASSERT_TRUE(file_write_read_only(path, bytes, why)) << why;
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::group_read |
                                                  fs::perms::others_read);
    ASSERT_TRUE(sha256_hex(bytes.data(), bytes.size(), whole, why)) << why;
    ASSERT_TRUE(sha256_file_hex(path, read, why)) << why;
    EXPECT_EQ(read, whole) << size;
    std::string back;
    ASSERT_TRUE(file_read_whole(path, back, why)) << why;
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(file_tail(path, 1000), bytes.substr(size > 1000 ? size - 1000 : 0));
  }
  std::string hex;
  EXPECT_FALSE(sha256_file_hex(std::string(dir) + "/none", hex, why));
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_FALSE(file_write_read_only(std::string(dir) + "/none/x.bin", "x", why));
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_FALSE(file_read_whole(dir, hex, why));
  EXPECT_EQ(why, "is a directory");
  fs::remove_all(dir);
}

// A ledger file is refused on another machine's disk, whose locks and shared memory two PCs do
// not see alike: the kinds statfs names, told from the local ones without mounting one.
TEST(StationFiles, NetworkFileSystemsAreToldFromLocalOnes) {
  const std::pair<std::uint32_t, std::string> types[] = {
      {0x6969, "nfs"},  {0xFE534D42, "smb2"}, {0xFF534D42, "cifs"}, {0x65735546, "fuse"},
      {0x01021997, "9p"}, {0xEF53, ""} /* ext4 */, {0x01021994, ""} /* tmpfs */,
      {0x9123683E, ""} /* btrfs */, {0x58465342, ""} /* xfs */};
  for (const auto& [type, kind] : types) {
    const char* told = network_file_system(type);
    EXPECT_EQ(told != nullptr ? told : "", kind) << std::hex << type;
  }
  std::string kind;
  EXPECT_FALSE(file_system_is_network("/nonexistent/directory", kind));
}

}  // namespace
}  // namespace xarveld::station
