#pragma once
// The station's own files: opened so that no tool it starts inherits them, read whole, written
// once and made read-only, their ends read back; what the record and the page say of an image;
// where the tool beside the station is; where this PC keeps what all its users share; and
// whether a directory lies on another machine's disk. The portable half is files.cpp;
// files_posix.cpp and files_win32.cpp hold what differs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace xarveld::station {

// An image or a driver as the station read and hashed it, as the record and the page name it.
struct ImageFacts {
  std::string role;  // "driver" or "image"
  std::string name;  // as given on the command line
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
};

// Opens a file of the station's own as fopen does, kept from every child it starts.
std::FILE* file_open_unshared(const std::string& path, const char* mode);

// The whole file. False with the system's reason in why.
[[nodiscard]] bool file_read_whole(const std::string& path, std::string& bytes, std::string& why);

// Writes bytes to a new file at path and makes it read-only for everyone. False with the
// system's reason in why; what was written of it is removed again.
[[nodiscard]] bool file_write_read_only(const std::string& path, const std::string& bytes,
                                        std::string& why);

// The last limit bytes of the file (all of a shorter one); empty when it cannot be read.
std::string file_tail(const std::string& path, std::size_t limit);

// The tool beside the running station's executable: the default --tool.
std::string tool_beside_station(const char* argv0);

// The directory this PC keeps the station's data in for every user and every working directory:
// /var/lib/xarveld on POSIX, %ProgramData%\xarveld on Windows.
std::string machine_data_directory();

// Whether the directory at path is on a network file system (NFS, SMB, FUSE...), whose locks and
// shared memory two PCs do not see alike; kind names it ("nfs", "a network drive"). False when
// it is local, or cannot be told (a directory that is not there).
bool file_system_is_network(const std::string& path, std::string& kind);

// The network file system a Linux statfs() f_type stands for, or nullptr for a local one.
const char* network_file_system(std::uint32_t statfs_type);

}  // namespace xarveld::station
