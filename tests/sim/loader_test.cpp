// The loader's commands and framings, driven over its packet interface as the tool drives it.
#include <gtest/gtest.h>

#include "loader_harness.hpp"

namespace xarveld::sim {
namespace {

using namespace harness;

const Words PING_ANSWER_WORDS = {0x050E, 0x050E, 0xF5E4};
const Bytes RAW_PING_ANSWER = {0x0E, 0x05, 0x0E, 0x05, 0xE4, 0xF5};

TEST(LoaderFraming, PingIsAnsweredInEitherFraming) {
  Loader raw = make_loader();
  std::vector<LoaderEvent> out = sends(feed(raw, raw_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, RAW_PING_ANSWER);

  Loader yenc = make_loader({}, Framing::YEnc);
  out = sends(feed(yenc, yenc_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, yenc_frame(Packet{0x050E, 0x050E}));  // '=' 'G' ... CR, no LF
}

TEST(LoaderFraming, EnterYEncIsAcknowledgedRawThenOnlyYEncIsUnderstood) {
  Loader loader = make_loader();
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(build_enter_yenc())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, (Bytes{0x04, 0x05, 0x00, 0x00, 0xFC, 0xFA}));
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), Words{});
  out = sends(feed(loader, yenc_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame[0], '=');
  EXPECT_EQ(answer_words(out[0]), PING_ANSWER_WORDS);
}

TEST(LoaderFraming, DisconnectEndsSessionAndReturnsToStartFraming) {
  Loader loader = make_loader();
  answer(loader, raw_frame(build_enter_yenc()));
  answer(loader, yenc_frame(build_begin(OP_LOAD_SRAM, 0, 2048, 32)));
  answer(loader, yenc_frame(data_packet(pattern(32, 1))));
  std::vector<LoaderEvent> events = feed(loader, yenc_frame(build_disconnect()));
  std::vector<LoaderEvent> out = sends(events);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].frame, yenc_frame(Packet{0x0503, 0}));  // in the framing it came in
  EXPECT_EQ(events.back().kind, EventKind::SessionEnd);
  // New session: raw again, no transfer announced, memory kept.
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), PING_ANSWER_WORDS);
  EXPECT_EQ(answer(loader, raw_frame(data_packet(pattern(32, 1)))), refusal(CMD_DATA));
  EXPECT_EQ(loader.memory.devices[0].written_end, 2048u + 32u);
}

TEST(LoaderFraming, RestOfAReadAfterDisconnectGoesToTheNewSessionsFraming) {
  Loader loader = make_loader();
  answer(loader, raw_frame(build_enter_yenc()));
  Bytes both = yenc_frame(build_disconnect());
  Bytes ping = raw_frame(build_ping());
  both.insert(both.end(), ping.begin(), ping.end());
  std::vector<LoaderEvent> out = sends(feed(loader, both));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].frame, RAW_PING_ANSWER);
}

TEST(LoaderBegin, EachSelectorAcceptsOnlyItsDevices) {
  struct Case {
    std::uint16_t selector;
    std::uint16_t device;
    Operation operation;  // None: refused
  };
  const Case cases[] = {
      {OP_LOAD_SRAM, 0, Operation::LoadSram},     {OP_LOAD_SRAM, 1, Operation::None},
      {OP_PROGRAM_FLASH, 1, Operation::ProgramFlash}, {OP_PROGRAM_FLASH, 7, Operation::ProgramFlash},
      {OP_PROGRAM_FLASH, 0, Operation::None},     {OP_PROGRAM_FLASH, 8, Operation::None},
      {OP_VERIFY_DATA, 5, Operation::VerifyData}, {OP_VERIFY_CHECKSUM, 3, Operation::VerifyChecksum},
      {OP_VERIFY_CHECKSUM, 9, Operation::None},   {0x0400, 1, Operation::None},
  };
  for (const Case& c : cases) {
    Loader loader = make_loader();
    bool accepted = c.operation != Operation::None;
    EXPECT_EQ(answer(loader, raw_frame(build_begin(c.selector, c.device, 0x12345678, 0x9ABCDEF0))),
              accepted ? ack(CMD_BEGIN) : refusal(CMD_BEGIN))
        << c.selector << "/" << c.device;
    EXPECT_EQ(loader.transfer.operation, c.operation);
    if (accepted) {
      EXPECT_EQ(loader.transfer.device, c.device);
      EXPECT_EQ(loader.transfer.position, 0x12345678u);
      EXPECT_EQ(loader.transfer.limit, 0x9ABCDEF0u);
    }
  }
}

TEST(LoaderData, WritesAtThePositionAndResyncRewinds) {
  Loader loader = make_loader();
  Bytes first = pattern(32, 10);
  Bytes again = pattern(32, 200);
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 3, 0x40, 0x100)));
  EXPECT_EQ(answer(loader, raw_frame(data_packet(first))), ack(CMD_DATA));
  answer(loader, raw_frame(data_packet(pattern(32, 90))));
  EXPECT_EQ(loader.transfer.position, 0x80u);
  // The tool's resync: announce again from the failed block, then send it again.
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 3, 0x60, 0x100)));
  answer(loader, raw_frame(data_packet(again)));

  const Device& device = loader.memory.devices[3];
  EXPECT_EQ(device.written_end, 0x80u);
  EXPECT_EQ(Bytes(device.bytes.begin() + 0x40, device.bytes.begin() + 0x60), first);
  EXPECT_EQ(Bytes(device.bytes.begin() + 0x60, device.bytes.begin() + 0x80), again);
  EXPECT_EQ(device.bytes[0x3F], 0xFF);                   // erased flash around it
  EXPECT_TRUE(loader.memory.devices[2].bytes.empty());  // untouched devices stay unallocated
}

TEST(LoaderReadNext, DataModeAnswersSixteenWordsAndAdvances) {
  Loader loader = make_loader();
  Bytes image = pattern(96, 3);
  program(loader, 2, image);
  answer(loader, raw_frame(build_begin(OP_VERIFY_DATA, 2, 32, 96)));
  for (std::size_t offset : {32u, 64u}) {
    Words expected = {0xF639};
    for (std::size_t i = offset; i < offset + 32; i += 2) {
      expected.push_back(static_cast<std::uint16_t>(image[i] | image[i + 1] << 8));
    }
    EXPECT_EQ(answer(loader, raw_frame(build_read_next())), with_checksum(expected));
  }
  EXPECT_EQ(answer(loader, raw_frame(build_read_next()))[1], 0xFFFF);  // erased past the image
}

TEST(LoaderReadNext, ChecksumModeSumsWholeWordsBelowTheLimit) {
  struct Case {
    std::uint32_t size;
    std::vector<std::size_t> words_per_block;  // words summed by each CMD_READ_NEXT
  };
  const Case cases[] = {
      {1000, {500}},    {2048, {512, 512}}, {2049, {512, 512, 0}},  // odd last byte left out
      {2051, {512, 512, 1}}, {1025, {512, 0}},
  };
  for (const Case& c : cases) {
    Loader loader = make_loader();
    Bytes image = pattern((c.size + 31) / 32 * 32, 5);
    program(loader, 4, image);
    answer(loader, raw_frame(build_begin(OP_VERIFY_CHECKSUM, 4, 0, c.size)));
    for (std::size_t block = 0; block < c.words_per_block.size(); ++block) {
      std::uint16_t sum = 0;
      for (std::size_t i = block * 1024; i < block * 1024 + 2 * c.words_per_block[block]; i += 2) {
        sum = static_cast<std::uint16_t>(sum + (image[i] | image[i + 1] << 8));
      }
      EXPECT_EQ(answer(loader, raw_frame(build_read_next())), with_checksum({0x0639, sum}))
          << c.size << " block " << block;
    }
  }
}

TEST(LoaderRefusal, CommandsOutOfPlaceOrUnknownAreRefusedWithTheirCode) {
  struct Case {
    Packet announced;  // CMD_BEGIN sent first; header 0: none
    Packet command;
  };
  const Case cases[] = {
      {Packet{}, data_packet(pattern(32, 0))},
      {build_begin(OP_VERIFY_DATA, 1, 0, 64), data_packet(pattern(32, 0))},
      {Packet{}, build_read_next()},
      {build_begin(OP_PROGRAM_FLASH, 1, 0, 64), build_read_next()},
      {Packet{}, Packet{0x0123, 0}},
  };
  for (const Case& c : cases) {
    Loader loader = make_loader();
    if (c.announced[0] != 0) answer(loader, raw_frame(c.announced));
    std::uint16_t code = packet_command_code(c.command[0]);
    EXPECT_EQ(answer(loader, raw_frame(c.command)), refusal(code)) << code;
    EXPECT_FALSE(device_written(loader.memory, 1));
  }
}

TEST(LoaderReceive, RawRecoversFromGarbageAsTheToolsAssemblyDoes) {
  Loader loader = make_loader();
  Bytes bad = raw_frame(build_ping());
  bad[4] ^= 1;
  std::vector<LoaderEvent> events = feed(loader, bad);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.kind, RecordKind::Junk);
  EXPECT_EQ(events[0].record.bytes, bad);
  // Three stray bytes announce a 6-byte packet; the next ping completes it, fails its checksum,
  // and the rest of that read is discarded with it.
  EXPECT_TRUE(feed(loader, {0x01, 0x02, 0x03}).empty());
  events = feed(loader, raw_frame(build_ping()));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.bytes, (Bytes{0x01, 0x02, 0x03, 0x0E, 0x05, 0x00, 0x00, 0xF2, 0xFA}));
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), PING_ANSWER_WORDS);
  // A packet split over reads is assembled.
  for (std::uint8_t byte : raw_frame(build_ping())) events = feed(loader, {byte});
  EXPECT_EQ(sends(events).size(), 1u);
}

TEST(LoaderReceive, YEncJunkBeforeALineOrCuttingOneShortIsDropped) {
  Bytes line = yenc_frame(build_ping());
  Bytes cut(line.begin(), line.begin() + 5);  // "=G" and three bytes, no CR
  for (const Bytes& junk : {Bytes{'a', 'b', 'c'}, cut}) {
    Loader loader = make_loader({}, Framing::YEnc);
    Bytes bytes = junk;
    bytes.insert(bytes.end(), line.begin(), line.end());
    std::vector<LoaderEvent> events = feed(loader, bytes);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].record.kind, RecordKind::Junk);
    EXPECT_EQ(events[0].record.bytes, junk);
    EXPECT_EQ(events[1].record.kind, RecordKind::YEnc);
    EXPECT_EQ(answer_words(events[2]), PING_ANSWER_WORDS);
  }
}

TEST(LoaderReceive, YEncLinesThatHoldNoPacketAreJunk) {
  Bytes wrong_channel = yenc_frame(build_ping());
  wrong_channel[1] = 'H';
  Bytes too_long = yenc_frame(build_ping());
  too_long.insert(too_long.end() - 1, {0x2A, 0x2A});  // two extra decoded bytes
  Bytes bad_checksum = yenc_frame(build_ping());
  bad_checksum[2] ^= 1;
  for (const Bytes& line : {wrong_channel, too_long, bad_checksum, Bytes{'=', 'G', '\r'}}) {
    Loader loader = make_loader({}, Framing::YEnc);
    std::vector<LoaderEvent> events = feed(loader, line);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].record.bytes, line);
  }
}

TEST(LoaderReceive, YEncEscapesAreDecodedEvenSplitAcrossReads) {
  Loader loader = make_loader({}, Framing::YEnc);
  // Bytes whose encodings must be escaped: 0xD6 -> 0x00, 0xE3 -> CR, 0x13 -> '=', 0xDF -> TAB,
  // 0xE0 -> LF.
  const std::uint8_t escaped[] = {0xD6, 0xE3, 0x13, 0xDF, 0xE0, 0x13, 0x13, 0xD6};
  Bytes block(32, 0xE3);
  std::copy(std::begin(escaped), std::end(escaped), block.begin());
  answer(loader, yenc_frame(build_begin(OP_LOAD_SRAM, 0, 0, 32)));
  Bytes line = yenc_frame(data_packet(block));
  // Split right after the first escape character, so the pair spans two reads.
  auto split = std::find(line.begin() + 2, line.end(), '=') + 1;
  EXPECT_TRUE(feed(loader, Bytes(line.begin(), split)).empty());
  EXPECT_EQ(answer(loader, Bytes(split, line.end())), ack(CMD_DATA));
  EXPECT_EQ(Bytes(loader.memory.devices[0].bytes.begin(),
                  loader.memory.devices[0].bytes.begin() + 32), block);
}

}  // namespace
}  // namespace xarveld::sim
