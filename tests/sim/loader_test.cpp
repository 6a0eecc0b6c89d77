// The loader's commands and framings, driven over its packet interface as the tool drives it.
#include <gtest/gtest.h>

#include "loader_harness.hpp"

namespace xarveld::sim {
namespace {

using namespace harness;

const Words PING_ANSWER_WORDS = {0x050E, 0x050E, 0xF5E4};

std::uint16_t checksum_of(Words words) {
  std::uint16_t sum = 0;
  for (std::uint16_t word : words) sum = static_cast<std::uint16_t>(sum + word);
  return static_cast<std::uint16_t>(-sum);
}

Words with_checksum(Words words) {
  words.push_back(checksum_of(words));
  return words;
}

// Programs `image` into a flash device from offset 0.
void program(Loader& loader, std::uint16_t device, const Bytes& image) {
  ASSERT_EQ(answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, device, 0,
                                                   static_cast<std::uint32_t>(image.size())))),
            std::vector<Words>{with_checksum({0x0502, 0x0000})});
  for (std::size_t offset = 0; offset < image.size(); offset += DATA_BLOCK_BYTES) {
    Bytes block(image.begin() + static_cast<long>(offset),
                image.begin() + static_cast<long>(offset + DATA_BLOCK_BYTES));
    ASSERT_EQ(answers_to(loader, raw_frame(data_packet(block))).size(), 1u);
  }
}

TEST(LoaderPing, RawAnswerIsExactBytes) {
  Loader loader = make_loader();
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, (Bytes{0x0E, 0x05, 0x0E, 0x05, 0xE4, 0xF5}));
  EXPECT_EQ(out[0].record.kind, RecordKind::Raw);
}

TEST(LoaderPing, YEncAnswerIsOneGLineEndedByCrAlone) {
  Loader loader = make_loader({}, Framing::YEnc);
  std::vector<LoaderEvent> out = sends(feed(loader, yenc_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  Packet answer{0x050E, 0x050E};
  EXPECT_EQ(out[0].frame, yenc_frame(answer));
  EXPECT_EQ(out[0].frame.back(), '\r');
  EXPECT_EQ(answer_words(out[0]), PING_ANSWER_WORDS);
}

TEST(LoaderFraming, EnterYEncIsAcknowledgedRawThenOnlyYEncIsUnderstood) {
  Loader loader = make_loader();
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(build_enter_yenc())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, (Bytes{0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA}));

  EXPECT_TRUE(answers_to(loader, raw_frame(build_ping())).empty());
  std::vector<LoaderEvent> yenc = sends(feed(loader, yenc_frame(build_ping())));
  ASSERT_EQ(yenc.size(), 1u);
  EXPECT_EQ(yenc[0].frame[0], '=');
  EXPECT_EQ(answer_words(yenc[0]), PING_ANSWER_WORDS);
}

TEST(LoaderFraming, YEncOnlyLoaderNeverUnderstandsRaw) {
  Loader loader = make_loader({}, Framing::YEnc);
  std::vector<LoaderEvent> events = feed(loader, raw_frame(build_ping()));
  EXPECT_TRUE(sends(events).empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.kind, RecordKind::Junk);
}

TEST(LoaderFraming, DisconnectEndsSessionAndReturnsToStartFraming) {
  Loader loader = make_loader();
  Bytes block = pattern(32, 1);
  answers_to(loader, raw_frame(build_enter_yenc()));
  answers_to(loader, yenc_frame(build_begin(OP_LOAD_SRAM, 0, 2048, 32)));
  answers_to(loader, yenc_frame(data_packet(block)));

  std::vector<LoaderEvent> events = feed(loader, yenc_frame(build_disconnect()));
  std::vector<LoaderEvent> out = sends(events);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(answer_words(out[0]), with_checksum({0x0503, 0x0000}));
  EXPECT_EQ(out[0].frame[0], '=');  // acknowledged in the framing it came in
  EXPECT_EQ(events.back().kind, EventKind::SessionEnd);

  // New session: raw again, no transfer announced, memory kept.
  EXPECT_EQ(answers_to(loader, raw_frame(build_ping())), std::vector<Words>{PING_ANSWER_WORDS});
  EXPECT_EQ(answers_to(loader, raw_frame(data_packet(block))),
            std::vector<Words>{with_checksum({0x0002, CMD_DATA})});
  EXPECT_EQ(loader.memory.devices[0].written_end, 2048u + 32u);
}

TEST(LoaderFraming, RestOfAReadAfterDisconnectGoesToTheNewSessionsFraming) {
  Loader loader = make_loader();
  answers_to(loader, raw_frame(build_enter_yenc()));
  Bytes both = yenc_frame(build_disconnect());
  Bytes ping = raw_frame(build_ping());
  both.insert(both.end(), ping.begin(), ping.end());
  std::vector<LoaderEvent> out = sends(feed(loader, both));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].frame[0], '=');
  EXPECT_EQ(out[1].frame, (Bytes{0x0E, 0x05, 0x0E, 0x05, 0xE4, 0xF5}));
}

struct BeginCase {
  std::uint16_t selector;
  std::uint16_t device;
  bool accepted;
  Operation operation;
};

TEST(LoaderBegin, EachSelectorAcceptsOnlyItsDevices) {
  const BeginCase cases[] = {
      {OP_LOAD_SRAM, 0, true, Operation::LoadSram},
      {OP_LOAD_SRAM, 1, false, Operation::None},
      {OP_PROGRAM_FLASH, 1, true, Operation::ProgramFlash},
      {OP_PROGRAM_FLASH, 7, true, Operation::ProgramFlash},
      {OP_PROGRAM_FLASH, 0, false, Operation::None},
      {OP_PROGRAM_FLASH, 8, false, Operation::None},
      {OP_VERIFY_DATA, 5, true, Operation::VerifyData},
      {OP_VERIFY_CHECKSUM, 3, true, Operation::VerifyChecksum},
      {OP_VERIFY_CHECKSUM, 9, false, Operation::None},
      {0x0400, 1, false, Operation::None},
  };
  for (const BeginCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "selector " << c.selector << " device " << c.device);
    Loader loader = make_loader();
    std::vector<Words> answers =
        answers_to(loader, raw_frame(build_begin(c.selector, c.device, 0x12345678, 0x9ABCDEF0)));
    Words expected = c.accepted ? with_checksum({0x0502, 0x0000})
                                : with_checksum({0x0002, CMD_BEGIN});
    EXPECT_EQ(answers, std::vector<Words>{expected});
    EXPECT_EQ(loader.transfer.operation, c.operation);
    if (c.accepted) {
      EXPECT_EQ(loader.transfer.device, c.device);
      EXPECT_EQ(loader.transfer.position, 0x12345678u);
      EXPECT_EQ(loader.transfer.limit, 0x9ABCDEF0u);
    }
  }
}

TEST(LoaderData, WritesAtThePositionAndResyncRewinds) {
  Loader loader = make_loader();
  Bytes first = pattern(32, 10);
  Bytes second = pattern(32, 90);
  Bytes again = pattern(32, 200);
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 3, 0x40, 0x100)));
  EXPECT_EQ(answers_to(loader, raw_frame(data_packet(first))),
            std::vector<Words>{with_checksum({0x0501, 0x0000})});
  answers_to(loader, raw_frame(data_packet(second)));
  EXPECT_EQ(loader.transfer.position, 0x80u);
  // The tool's resync: announce again from the failed block, then send it again.
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 3, 0x60, 0x100)));
  answers_to(loader, raw_frame(data_packet(again)));

  const Device& device = loader.memory.devices[3];
  EXPECT_EQ(device.written_end, 0x80u);
  EXPECT_EQ(Bytes(device.bytes.begin() + 0x40, device.bytes.begin() + 0x60), first);
  EXPECT_EQ(Bytes(device.bytes.begin() + 0x60, device.bytes.begin() + 0x80), again);
  EXPECT_EQ(device.bytes[0x3F], 0xFF);  // erased flash around it
  EXPECT_TRUE(loader.memory.devices[2].bytes.empty());  // untouched devices stay unallocated
}

TEST(LoaderData, RefusedOutsideALoadOrProgramOperation) {
  Loader loader = make_loader();
  Words refused = with_checksum({0x0002, CMD_DATA});
  EXPECT_EQ(answers_to(loader, raw_frame(data_packet(pattern(32, 0)))),
            std::vector<Words>{refused});
  answers_to(loader, raw_frame(build_begin(OP_VERIFY_DATA, 1, 0, 64)));
  EXPECT_EQ(answers_to(loader, raw_frame(data_packet(pattern(32, 0)))),
            std::vector<Words>{refused});
  EXPECT_FALSE(device_written(loader.memory, 1));
}

TEST(LoaderReadNext, DataModeAnswersSixteenWordsAndAdvances) {
  Loader loader = make_loader();
  Bytes image = pattern(96, 3);
  program(loader, 2, image);
  answers_to(loader, raw_frame(build_begin(OP_VERIFY_DATA, 2, 32, 96)));
  for (std::size_t offset : {32u, 64u}) {
    std::vector<Words> answers = answers_to(loader, raw_frame(build_read_next()));
    ASSERT_EQ(answers.size(), 1u);
    Words expected = {0xF639};
    for (std::size_t i = 0; i < 16; ++i) {
      expected.push_back(static_cast<std::uint16_t>(image[offset + 2 * i] |
                                                    image[offset + 2 * i + 1] << 8));
    }
    EXPECT_EQ(answers[0], with_checksum(expected));
  }
  // Past what was written: erased flash.
  std::vector<Words> past = answers_to(loader, raw_frame(build_read_next()));
  ASSERT_EQ(past.size(), 1u);
  EXPECT_EQ(past[0][1], 0xFFFF);
}

TEST(LoaderReadNext, ChecksumModeSumsWholeWordsBelowTheLimit) {
  struct Case {
    std::uint32_t size;
    std::vector<std::size_t> words_per_block;  // words summed by each CMD_READ_NEXT
  };
  const Case cases[] = {
      {1000, {500}},
      {2048, {512, 512}},
      {2049, {512, 512, 0}},  // the odd last byte is left out: a sum of no words
      {2051, {512, 512, 1}},
      {1025, {512, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "size " << c.size);
    Loader loader = make_loader();
    Bytes image = pattern(c.size + 64, 5);
    image.resize((c.size + 31) / 32 * 32);
    program(loader, 4, image);
    answers_to(loader, raw_frame(build_begin(OP_VERIFY_CHECKSUM, 4, 0, c.size)));
    std::size_t offset = 0;
    for (std::size_t words : c.words_per_block) {
      std::uint16_t sum = 0;
      for (std::size_t i = 0; i < words; ++i) {
        sum = static_cast<std::uint16_t>(sum + (image[offset + 2 * i] |
                                                image[offset + 2 * i + 1] << 8));
      }
      EXPECT_EQ(answers_to(loader, raw_frame(build_read_next())),
                std::vector<Words>{with_checksum({0x0639, sum})});
      offset += 1024;
    }
    EXPECT_EQ(loader.transfer.position, offset);
  }
}

TEST(LoaderReadNext, RefusedOutsideAVerifyOperation) {
  Loader loader = make_loader();
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 64)));
  EXPECT_EQ(answers_to(loader, raw_frame(build_read_next())),
            std::vector<Words>{with_checksum({0x0002, CMD_READ_NEXT})});
}

TEST(LoaderReceive, BadChecksumGetsNoAnswerAndIsJunk) {
  Loader loader = make_loader();
  Bytes bad = raw_frame(build_ping());
  bad[4] ^= 1;
  std::vector<LoaderEvent> events = feed(loader, bad);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::Record);
  EXPECT_EQ(events[0].record.kind, RecordKind::Junk);
  EXPECT_EQ(events[0].record.bytes, bad);
}

TEST(LoaderReceive, UnknownCommandIsRefused) {
  Loader loader = make_loader();
  Packet unknown{0x0123, 0};
  EXPECT_EQ(answers_to(loader, raw_frame(unknown)),
            std::vector<Words>{with_checksum({0x0002, 0x0123})});
}

TEST(LoaderReceive, RawRecoversFromGarbageAsTheToolsAssemblyDoes) {
  Loader loader = make_loader();
  // Three stray bytes announce a 6-byte packet; the first ping completes it, fails its checksum,
  // and the rest of that read is discarded with it.
  EXPECT_TRUE(sends(feed(loader, {0x01, 0x02, 0x03})).empty());
  std::vector<LoaderEvent> events = feed(loader, raw_frame(build_ping()));
  EXPECT_TRUE(sends(events).empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.bytes, (Bytes{0x01, 0x02, 0x03, 0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA}));
  EXPECT_EQ(answers_to(loader, raw_frame(build_ping())), std::vector<Words>{PING_ANSWER_WORDS});
}

TEST(LoaderReceive, RawPacketSplitOverReadsIsAssembled) {
  Loader loader = make_loader();
  Bytes frame = raw_frame(build_begin(OP_LOAD_SRAM, 0, 2048, 64));
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    EXPECT_TRUE(feed(loader, {frame[i]}).empty());
  }
  EXPECT_EQ(answers_to(loader, {frame.back()}).size(), 1u);
}

TEST(LoaderReceive, YEncJunkThenLineIsUnderstood) {
  Loader loader = make_loader({}, Framing::YEnc);
  Bytes bytes = bytes_of("abc");
  Bytes line = yenc_frame(build_ping());
  bytes.insert(bytes.end(), line.begin(), line.end());
  std::vector<LoaderEvent> events = feed(loader, bytes);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].record.kind, RecordKind::Junk);
  EXPECT_EQ(events[0].record.bytes, bytes_of("abc"));
  EXPECT_EQ(events[1].record.kind, RecordKind::YEnc);
  EXPECT_EQ(answer_words(events[2]), PING_ANSWER_WORDS);
}

TEST(LoaderReceive, YEncLineCutShortIsDroppedForTheNextOne) {
  Loader loader = make_loader({}, Framing::YEnc);
  Bytes line = yenc_frame(build_ping());
  Bytes bytes(line.begin(), line.begin() + 5);  // "=G" and three bytes, no CR
  bytes.insert(bytes.end(), line.begin(), line.end());
  std::vector<LoaderEvent> events = feed(loader, bytes);
  ASSERT_EQ(sends(events).size(), 1u);
  EXPECT_EQ(events[0].record.bytes, Bytes(line.begin(), line.begin() + 5));
}

TEST(LoaderReceive, YEncLinesThatHoldNoPacketAreJunk) {
  Bytes ping_line = yenc_frame(build_ping());
  Bytes wrong_channel = ping_line;
  wrong_channel[1] = 'H';
  Bytes too_long = ping_line;
  too_long.insert(too_long.end() - 1, {0x2A, 0x2A});  // two extra decoded bytes
  Bytes empty = bytes_of("=G\r");
  Bytes bad_checksum = ping_line;
  bad_checksum[2] ^= 1;
  for (const Bytes& line : {wrong_channel, too_long, empty, bad_checksum}) {
    Loader loader = make_loader({}, Framing::YEnc);
    std::vector<LoaderEvent> events = feed(loader, line);
    EXPECT_TRUE(sends(events).empty());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].record.bytes, line);
  }
}

TEST(LoaderReceive, YEncLineSplitOverReadsWithEscapesIsDecoded) {
  Loader loader = make_loader({}, Framing::YEnc);
  // Bytes whose encodings must be escaped: 0xD6 -> 0x00, 0xE3 -> CR, 0x13 -> '=', 0xDF -> TAB,
  // 0xE0 -> LF.
  const std::uint8_t escaped[] = {0xD6, 0xE3, 0x13, 0xDF, 0xE0, 0x13, 0x13, 0xD6};
  Bytes block(32, 0xE3);
  std::copy(std::begin(escaped), std::end(escaped), block.begin());
  answers_to(loader, yenc_frame(build_begin(OP_LOAD_SRAM, 0, 0, 32)));
  Bytes line = yenc_frame(data_packet(block));
  // Split right after an escape character, so the pair spans two reads.
  std::size_t split = 0;
  for (std::size_t i = 2; i < line.size(); ++i) {
    if (line[i] == '=') {
      split = i + 1;
      break;
    }
  }
  ASSERT_GT(split, 0u);
  EXPECT_TRUE(feed(loader, Bytes(line.begin(), line.begin() + static_cast<long>(split))).empty());
  EXPECT_EQ(answers_to(loader, Bytes(line.begin() + static_cast<long>(split), line.end())).size(), 1u);
  EXPECT_EQ(Bytes(loader.memory.devices[0].bytes.begin(),
                  loader.memory.devices[0].bytes.begin() + 32),
            block);
}

}  // namespace
}  // namespace xarveld::sim
