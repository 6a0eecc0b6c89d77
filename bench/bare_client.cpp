// xarveld-bare: the least a client can do to program or verify a flash device through the
// loader, used as the yardstick of the tool's own cost per block. It sends the same packets as
// the tool, in the same framing, and waits for each answer, but keeps no trace, prints nothing
// per block and has no layers: one write per command, then poll and read until the answer is
// whole. Only the pure packet and yEnc framing functions come from the tool.
//
//   xarveld-bare PORT raw|yenc program|verify-data|verify-checksum DEVICE IMAGE
//
// yenc first switches the loader to yEnc framing with a raw CMD_ENTER_YENC (waiting for its
// acknowledgement only, not draining the line for a second as the tool must). The run ends with
// CMD_DISCONNECT. Prints "<seconds> <exchanges>": the time from before the image is read to the
// last answer of the operation, and the number of command/answer exchanges in that time.
// Exit status 0 on success, 1 on a failed exchange or a mismatch, 2 on bad arguments.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "link/framing.hpp"
#include "link/packet.hpp"

namespace {

using xarveld::Packet;

constexpr int ANSWER_TIMEOUT_MS = 5000;
constexpr std::size_t IMAGE_LIMIT = 0x800000;

enum class Operation { Program, VerifyData, VerifyChecksum };

struct Link {
  int fd = -1;
  bool yenc = false;
  std::uint8_t pending[512];  // bytes of an answer not yet complete
  std::size_t pending_count = 0;
};

double now_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int open_line(const char* path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios settings{};
  settings.c_cflag = CS8 | CLOCAL | CREAD;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    close(fd);
    return -1;
  }
  // Bytes of an earlier run's last answer may still wait in the line; this client has no retries
  // to get past them.
  tcflush(fd, TCIFLUSH);
  return fd;
}

bool write_all(int fd, const std::uint8_t* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t wrote = write(fd, bytes, length);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    length -= static_cast<std::size_t>(wrote);
  }
  return true;
}

void send(Link& link, Packet& cmd) {
  std::size_t words = xarveld::packet_word_count(cmd[0]);
  cmd[words - 1] = xarveld::packet_checksum(cmd);
  std::uint8_t bytes[xarveld::PACKET_MAX_BYTES];
  std::size_t length = xarveld::packet_to_bytes(cmd, words, bytes);
  if (!link.yenc) {
    write_all(link.fd, bytes, length);
    return;
  }
  std::uint8_t frame[xarveld::YENC_FRAME_CAPACITY];
  write_all(link.fd, frame, xarveld::yenc_encode_frame(frame, bytes, length));
}

// Whether pending holds a whole answer; if so it is decoded into answer and pending emptied.
bool take_answer(Link& link, Packet& answer, bool& valid) {
  if (!link.yenc) {
    if (link.pending_count < 2) return false;
    std::size_t words =
        xarveld::packet_word_count(static_cast<std::uint16_t>(link.pending[0] | link.pending[1] << 8));
    if (link.pending_count < 2 * words) return false;
    xarveld::words_from_bytes(link.pending, words, answer.data());
    link.pending_count = 0;
    valid = xarveld::packet_is_valid(answer);
    return true;
  }
  void* cr = std::memchr(link.pending, '\r', link.pending_count);
  if (cr == nullptr) return false;
  std::size_t line = static_cast<std::size_t>(static_cast<std::uint8_t*>(cr) - link.pending) + 1;
  valid = false;
  if (line >= 5 && link.pending[0] == '=' && link.pending[1] == 'G') {
    std::uint8_t decoded[256];
    std::size_t got = xarveld::yenc_decode(decoded, link.pending + 2, line - 3);
    std::size_t words =
        xarveld::packet_word_count(static_cast<std::uint16_t>(decoded[0] | decoded[1] << 8));
    if (got >= 2 * words) {
      xarveld::words_from_bytes(decoded, words, answer.data());
      valid = xarveld::packet_is_valid(answer);
    }
  }
  link.pending_count = 0;
  return true;
}

bool receive(Link& link, Packet& answer) {
  for (;;) {
    bool valid = false;
    if (take_answer(link, answer, valid)) return valid;
    pollfd waiting{link.fd, POLLIN, 0};
    int ready = poll(&waiting, 1, ANSWER_TIMEOUT_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got =
        read(link.fd, link.pending + link.pending_count, sizeof link.pending - link.pending_count);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    link.pending_count += static_cast<std::size_t>(got);
    if (link.pending_count == sizeof link.pending) return false;
  }
}

bool exchange(Link& link, Packet cmd, Packet& answer, long& exchanges) {
  send(link, cmd);
  ++exchanges;
  return receive(link, answer);
}

// Left uninitialised past what the file fills, as the tool's image buffer is.
struct Image {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint32_t size = 0;
};

bool read_image(const char* path, Image& image) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  image.bytes.reset(new std::uint8_t[IMAGE_LIMIT]);
  image.size = static_cast<std::uint32_t>(std::fread(image.bytes.get(), 1, IMAGE_LIMIT, file));
  std::fclose(file);
  return true;
}

std::uint16_t image_word(const Image& image, std::size_t byte_offset) {
  return static_cast<std::uint16_t>(image.bytes[byte_offset] | image.bytes[byte_offset + 1] << 8);
}

bool program(Link& link, const Image& image, std::uint16_t device,
             long& exchanges) {
  std::uint32_t size = image.size;
  Packet answer{};
  if (!exchange(link, xarveld::build_begin(xarveld::OP_PROGRAM_FLASH, device, 0, size), answer,
                exchanges)) {
    return false;
  }
  std::uint8_t block[xarveld::DATA_BLOCK_BYTES];
  for (std::uint32_t offset = 0; offset < size; offset += xarveld::DATA_BLOCK_BYTES) {
    std::size_t left = size - offset;
    std::size_t take = left < sizeof block ? left : sizeof block;
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, image.bytes.get() + offset, take);
    if (!exchange(link, xarveld::build_data(block), answer, exchanges)) return false;
  }
  return true;
}

bool verify(Link& link, const Image& image, std::uint16_t device,
            bool checksum, long& exchanges) {
  std::uint32_t size = image.size;
  std::uint32_t block_bytes =
      checksum ? xarveld::CHECKSUM_BLOCK_BYTES : xarveld::DATA_BLOCK_BYTES;
  std::uint16_t op = checksum ? xarveld::OP_VERIFY_CHECKSUM : xarveld::OP_VERIFY_DATA;
  Packet answer{};
  if (!exchange(link, xarveld::build_begin(op, device, 0, size), answer, exchanges)) return false;
  for (std::uint32_t offset = 0; offset < size; offset += block_bytes) {
    if (!exchange(link, xarveld::build_read_next(), answer, exchanges)) return false;
    std::size_t words = (size - offset < block_bytes ? size - offset : block_bytes) / 2;
    if (checksum) {
      if (xarveld::word_sum(image.bytes.get() + offset, words) != answer[1]) return false;
    } else {
      for (std::size_t i = 0; i < words; ++i) {
        if (answer[i + 1] != image_word(image, offset + 2 * i)) return false;
      }
    }
  }
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: xarveld-bare PORT raw|yenc program|verify-data|verify-checksum DEVICE "
               "IMAGE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return usage();
  std::string framing = argv[2];
  std::string what = argv[3];
  if (framing != "raw" && framing != "yenc") return usage();
  Operation operation = Operation::Program;
  if (what == "verify-data") {
    operation = Operation::VerifyData;
  } else if (what == "verify-checksum") {
    operation = Operation::VerifyChecksum;
  } else if (what != "program") {
    return usage();
  }
  auto device = static_cast<std::uint16_t>(std::atoi(argv[4]));

  Link link;
  link.fd = open_line(argv[1]);
  if (link.fd < 0) {
    std::fprintf(stderr, "xarveld-bare: cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  long exchanges = 0;
  Packet answer{};
  if (framing == "yenc") {
    if (!exchange(link, xarveld::build_enter_yenc(), answer, exchanges)) {
      std::fprintf(stderr, "xarveld-bare: no answer to CMD_ENTER_YENC\n");
      return 1;
    }
    link.yenc = true;
  }

  exchanges = 0;
  double start = now_seconds();
  Image image;
  if (!read_image(argv[5], image)) {
    std::fprintf(stderr, "xarveld-bare: cannot read %s\n", argv[5]);
    return 1;
  }
  bool ok = false;
  if (operation == Operation::Program) {
    ok = program(link, image, device, exchanges);
  } else {
    ok = verify(link, image, device, operation == Operation::VerifyChecksum, exchanges);
  }
  double seconds = now_seconds() - start;
  if (!ok) {
    std::fprintf(stderr, "xarveld-bare: %s failed after %ld exchanges\n", what.c_str(), exchanges);
    return 1;
  }
  long phase_exchanges = exchanges;
  exchange(link, xarveld::build_disconnect(), answer, exchanges);
  close(link.fd);
  std::printf("%.6f %ld\n", seconds, phase_exchanges);
  return 0;
}
