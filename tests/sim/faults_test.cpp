// Each fault option, seen through the loader's answers, and the chaos generator.
#include <gtest/gtest.h>

#include "loader_harness.hpp"
#include "sim/faults.hpp"

namespace xarveld::sim {
namespace {

using namespace harness;

TEST(Prng, IsSplitmix64) {
  // Reference outputs of splitmix64 from seed 0: the same run on any machine.
  Prng prng{0};
  EXPECT_EQ(prng_next(prng), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(prng_next(prng), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(prng_next(prng), 0x06C45D188009454FULL);
  for (int i = 0; i < 1000; ++i) {
    double unit = prng_unit(prng);
    ASSERT_TRUE(unit >= 0.0 && unit < 1.0) << unit;
  }
}

TEST(Faults, SilentAnswersNothingButStillActs) {
  FaultOptions faults;
  faults.silent = true;
  Loader loader = make_loader(faults);
  EXPECT_TRUE(sends(feed(loader, raw_frame(build_ping()))).empty());
  EXPECT_TRUE(sends(feed(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 32)))).empty());
  EXPECT_TRUE(sends(feed(loader, raw_frame(data_packet(pattern(32, 1))))).empty());
  EXPECT_TRUE(device_written(loader.memory, 0));
}

TEST(Faults, PingCodeChangesOnlyTheRawAnswer) {
  FaultOptions faults;
  faults.ping_code = 0x0123;
  Loader loader = make_loader(faults);
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), with_checksum({0x050E, 0x0123}));
  answer(loader, raw_frame(build_enter_yenc()));
  EXPECT_EQ(answer(loader, yenc_frame(build_ping())), with_checksum({0x050E, 0x050E}));
}

TEST(Faults, RefuseFlashAnswersCodeTwoAndStartsNothing) {
  FaultOptions faults;
  faults.refuse_flash = true;
  Loader loader = make_loader(faults);
  Words refused = answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 5, 0, 64)));
  EXPECT_EQ(refused, refusal(CMD_BEGIN));
  EXPECT_EQ(refused[0] & 0x0FFF, RESPONSE_REFUSED);  // what the tool tests
  EXPECT_EQ(answer(loader, raw_frame(data_packet(pattern(32, 0)))), refusal(CMD_DATA));
  EXPECT_EQ(answer(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 64))), ack(CMD_BEGIN));
}

TEST(Faults, DropLosesTheListedAnswersOfEachCodeNotTheCommands) {
  FaultOptions faults;
  faults.drops = {{CMD_DATA, {2, 3}}, {CMD_PING, {1}}};
  Loader loader = make_loader(faults);
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), Words{});
  EXPECT_EQ(answer(loader, raw_frame(build_ping())), with_checksum({0x050E, 0x050E}));
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 128)));
  std::vector<bool> answered;
  for (int k = 1; k <= 4; ++k) {
    answered.push_back(!answer(loader, raw_frame(data_packet(pattern(32, 0)))).empty());
  }
  EXPECT_EQ(answered, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(loader.memory.devices[1].written_end, 128u);
}

TEST(Faults, CorruptSpoilsTheChecksumButTheCommandTakesEffect) {
  FaultOptions faults;
  faults.corrupts = {{CMD_DATA, {1}}};
  Loader loader = make_loader(faults);
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 64)));
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(data_packet(pattern(32, 9)))));
  ASSERT_EQ(out.size(), 1u);
  Words words = answer_words(out[0]);
  EXPECT_EQ(words[0], 0x0501);
  EXPECT_FALSE(answer_is_valid(words));
  EXPECT_EQ(out[0].record.words, words);  // logged as sent, bad checksum included
  EXPECT_EQ(loader.memory.devices[1].written_end, 32u);
  EXPECT_EQ(answer(loader, raw_frame(data_packet(pattern(32, 9)))), ack(CMD_DATA));
}

TEST(Faults, WrongChannelAndGarbageReplaceOnlyTheKthAnswer) {
  FaultOptions faults;
  faults.wrong_channel_answer = 2;
  faults.garbage_answer = 3;
  Loader loader = make_loader(faults, Framing::YEnc);
  std::vector<Bytes> frames;
  for (int k = 1; k <= 4; ++k) {
    std::vector<LoaderEvent> out = sends(feed(loader, yenc_frame(build_ping())));
    ASSERT_EQ(out.size(), 1u);
    frames.push_back(out[0].frame);
    EXPECT_EQ(out[0].record.kind == RecordKind::Junk, k == 3);
  }
  Bytes good = yenc_frame(Packet{0x050E, 0x050E});
  EXPECT_EQ(frames[0], good);
  Bytes wrong_channel = good;
  wrong_channel[1] = 'H';
  EXPECT_EQ(frames[1], wrong_channel);
  EXPECT_NE(frames[2][0], '=');
  EXPECT_EQ(frames[2].back(), '\r');
  EXPECT_EQ(frames[3], good);
}

TEST(Faults, FlipReadsOneByteBackWrongTheGivenNumberOfTimes) {
  FaultOptions faults;
  faults.flips = {{2, 0x21, 1}};
  Loader loader = make_loader(faults);
  Bytes image = pattern(64, 0x40);
  program(loader, 2, image);
  Words right = {0xF639};
  for (std::size_t i = 32; i < 64; i += 2) {
    right.push_back(static_cast<std::uint16_t>(image[i] | image[i + 1] << 8));
  }
  Words flipped = right;
  flipped[1] ^= 0xFF00;  // offset 0x21: the high byte of the block's first word
  for (const Words& expected : {flipped, right}) {
    answer(loader, raw_frame(build_begin(OP_VERIFY_DATA, 2, 32, 64)));
    EXPECT_EQ(answer(loader, raw_frame(build_read_next())), with_checksum(expected));
  }
  EXPECT_EQ(loader.memory.devices[2].bytes[0x21], image[0x21]);  // the memory stays right
}

TEST(Faults, FlipWithoutTimesSpoilsEveryChecksumOverIt) {
  FaultOptions faults;
  faults.flips = {{1, 1000, -1}};
  Loader loader = make_loader(faults);
  Bytes image = pattern(1024, 0);
  program(loader, 1, image);
  for (int read = 1; read <= 3; ++read) {
    answer(loader, raw_frame(build_begin(OP_VERIFY_CHECKSUM, 1, 0, 1024)));
    EXPECT_NE(answer(loader, raw_frame(build_read_next()))[1], word_sum(image.data(), 512));
  }
}

TEST(Faults, ShortReadCutsTheKthBlockAnswerToAValidShorterPacket) {
  struct Case {
    std::uint32_t limit;  // the tool's image size: a last block may need fewer than 16 words
    std::uint32_t short_answer;
    std::vector<std::size_t> payload_words;
  };
  const Case cases[] = {{96, 2, {16, 8, 16}}, {8, 1, {2}}};
  for (const Case& c : cases) {
    FaultOptions faults;
    faults.short_read_answer = c.short_answer;
    Loader loader = make_loader(faults);
    answer(loader, raw_frame(build_begin(OP_VERIFY_DATA, 1, 0, c.limit)));
    std::vector<std::size_t> payload_words;
    for (std::size_t k = 0; k < c.payload_words.size(); ++k) {
      Words words = answer(loader, raw_frame(build_read_next()));
      EXPECT_TRUE(answer_is_valid(words));
      payload_words.push_back(words.size() - 2);
    }
    EXPECT_EQ(payload_words, c.payload_words) << c.limit;
  }
}

TEST(Faults, HangupCarriesOutTheKthCommandThenCutsTheLine) {
  FaultOptions faults;
  faults.hangup_code = CMD_BEGIN;
  faults.hangup_occurrence = 2;
  Loader loader = make_loader(faults);
  EXPECT_EQ(answer(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 64))), ack(CMD_BEGIN));
  std::vector<LoaderEvent> events = feed(loader, raw_frame(build_begin(OP_VERIFY_DATA, 3, 32, 64)));
  EXPECT_EQ(events.back().kind, EventKind::HangUp);
  EXPECT_TRUE(sends(events).empty());
  EXPECT_EQ(loader.transfer.operation, Operation::VerifyData);
  EXPECT_TRUE(feed(loader, raw_frame(build_ping())).empty());
}

TEST(Faults, StopReadingAnswersTheKthCommandThenTakesNothing) {
  FaultOptions faults;
  faults.stop_reading_code = CMD_DATA;
  faults.stop_reading_occurrence = 2;
  Loader loader = make_loader(faults);
  answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 128)));
  EXPECT_EQ(answer(loader, raw_frame(data_packet(pattern(32, 1)))), ack(CMD_DATA));
  std::vector<LoaderEvent> events = feed(loader, raw_frame(data_packet(pattern(32, 2))));
  EXPECT_EQ(events.back().kind, EventKind::StopReading);
  ASSERT_EQ(sends(events).size(), 1u);
  EXPECT_EQ(answer_words(sends(events)[0]), ack(CMD_DATA));
  EXPECT_TRUE(feed(loader, raw_frame(build_ping())).empty());
}

// What chaos did to each of `count` pings: 'd' answer dropped, 'c' corrupted, 'f' fragmented,
// 'l' ping lost on its way in, 'g' garbled on its way in, '.' none.
std::string chaos_trace(std::uint64_t seed, double probability, int count,
                        std::vector<ChaosKind> kinds = {ChaosKind::Drop, ChaosKind::Corrupt,
                                                        ChaosKind::Fragment}) {
  FaultOptions faults;
  faults.seed = seed;
  faults.chaos = probability;
  faults.chaos_kinds = kinds;
  Loader loader = make_loader(faults);
  std::string trace;
  for (int i = 0; i < count; ++i) {
    std::vector<LoaderEvent> events = feed(loader, raw_frame(build_ping()));
    std::vector<LoaderEvent> out = sends(events);
    if (out.empty()) {
      RecordKind received = events.at(0).record.kind;
      trace += received == RecordKind::Lost ? 'l' : received == RecordKind::Junk ? 'g' : 'd';
    } else if (!answer_is_valid(answer_words(out[0]))) {
      trace += 'c';
    } else {
      trace += out[0].pieces > 1 ? 'f' : '.';
    }
  }
  return trace;
}

TEST(Faults, ChaosRepeatsFromItsSeed) {
  std::string first = chaos_trace(42, 0.3, 300);
  EXPECT_EQ(first, chaos_trace(42, 0.3, 300));
  EXPECT_NE(first, chaos_trace(43, 0.3, 300));
  for (char kind : {'d', 'c', 'f', '.'}) EXPECT_NE(first.find(kind), std::string::npos) << kind;
  EXPECT_EQ(chaos_trace(42, 0.0, 50), std::string(50, '.'));
  EXPECT_EQ(chaos_trace(42, 1.0, 50).find('.'), std::string::npos);
}

TEST(Faults, ChaosDoesOnlyTheKindsAllowed) {
  std::string trace = chaos_trace(42, 0.5, 300, {ChaosKind::Corrupt, ChaosKind::Fragment});
  EXPECT_EQ(trace.find('d'), std::string::npos);
  EXPECT_NE(trace.find('c'), std::string::npos);
  EXPECT_NE(trace.find('f'), std::string::npos);
  EXPECT_EQ(chaos_trace(7, 1.0, 40, {ChaosKind::Drop}), std::string(40, 'd'));
  EXPECT_EQ(chaos_trace(7, 1.0, 40, {ChaosKind::LoseCommand}), std::string(40, 'l'));
  EXPECT_EQ(chaos_trace(7, 1.0, 40, {ChaosKind::GarbleCommand}), std::string(40, 'g'));
}

// A command chaos lost or garbled on its way in never took effect, unlike one whose answer it
// drops.
TEST(Faults, CommandsDamagedOnTheirWayInAreNeverCarriedOut) {
  for (ChaosKind kind : {ChaosKind::LoseCommand, ChaosKind::GarbleCommand}) {
    Loader loader = make_loader();
    answer(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 64)));
    loader.config.faults.chaos = 1.0;
    loader.config.faults.chaos_kinds = {kind};
    EXPECT_TRUE(sends(feed(loader, raw_frame(data_packet(pattern(32, 1))))).empty());
    EXPECT_FALSE(device_written(loader.memory, 1));
    EXPECT_EQ(loader.transfer.position, 0u);
  }
}

}  // namespace
}  // namespace xarveld::sim
