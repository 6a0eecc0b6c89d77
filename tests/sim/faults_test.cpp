// Each fault option, seen through the loader's answers, and the chaos generator.
#include <gtest/gtest.h>

#include "loader_harness.hpp"
#include "sim/faults.hpp"

namespace xarveld::sim {
namespace {

using namespace harness;

FaultOptions with(void (*set)(FaultOptions&)) {
  FaultOptions faults;
  set(faults);
  return faults;
}

TEST(Prng, IsSplitmix64) {
  // Reference outputs of splitmix64 from seed 0: the same run on any machine.
  Prng prng{0};
  EXPECT_EQ(prng_next(prng), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(prng_next(prng), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(prng_next(prng), 0x06C45D188009454FULL);
  for (int i = 0; i < 1000; ++i) {
    double unit = prng_unit(prng);
    ASSERT_GE(unit, 0.0);
    ASSERT_LT(unit, 1.0);
  }
}

TEST(Faults, SilentAnswersNothingButStillActs) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.silent = true; }));
  EXPECT_TRUE(answers_to(loader, raw_frame(build_ping())).empty());
  EXPECT_TRUE(answers_to(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 32))).empty());
  EXPECT_TRUE(answers_to(loader, raw_frame(data_packet(pattern(32, 1)))).empty());
  EXPECT_TRUE(device_written(loader.memory, 0));
}

TEST(Faults, PingCodeChangesOnlyTheRawAnswer) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.ping_code = 0x0123; }));
  std::vector<Words> raw = answers_to(loader, raw_frame(build_ping()));
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0][1], 0x0123);
  EXPECT_TRUE(answer_is_valid(raw[0]));
  answers_to(loader, raw_frame(build_enter_yenc()));
  std::vector<Words> yenc = answers_to(loader, yenc_frame(build_ping()));
  ASSERT_EQ(yenc.size(), 1u);
  EXPECT_EQ(yenc[0][1], 0x050E);
}

TEST(Faults, RefuseFlashAnswersCodeTwoAndStartsNothing) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.refuse_flash = true; }));
  std::vector<Words> answers = answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 5, 0, 64)));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0][0] & 0x0FFF, RESPONSE_REFUSED);  // what the tool tests
  EXPECT_TRUE(answer_is_valid(answers[0]));
  std::vector<Words> data = answers_to(loader, raw_frame(data_packet(pattern(32, 0))));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0][0], RESPONSE_REFUSED);
  EXPECT_FALSE(device_written(loader.memory, 5));
  // Only flash is refused.
  std::vector<Words> sram = answers_to(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 64)));
  ASSERT_EQ(sram.size(), 1u);
  EXPECT_EQ(sram[0][0], 0x0502);
}

TEST(Faults, DropLosesTheListedAnswersOfEachCode) {
  FaultOptions faults;
  faults.drops.push_back({CMD_DATA, {2, 3}});
  faults.drops.push_back({CMD_PING, {1}});
  Loader loader = make_loader(faults);
  EXPECT_TRUE(answers_to(loader, raw_frame(build_ping())).empty());
  EXPECT_EQ(answers_to(loader, raw_frame(build_ping())).size(), 1u);
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 128)));
  std::vector<std::size_t> answered;
  for (int k = 1; k <= 4; ++k) {
    answered.push_back(answers_to(loader, raw_frame(data_packet(pattern(32, 0)))).size());
  }
  EXPECT_EQ(answered, (std::vector<std::size_t>{1, 0, 0, 1}));
  // Only the answer was lost: every block was written.
  EXPECT_EQ(loader.memory.devices[1].written_end, 128u);
}

TEST(Faults, CorruptSpoilsTheChecksumButTheCommandTakesEffect) {
  FaultOptions faults;
  faults.corrupts.push_back({CMD_DATA, {1}});
  Loader loader = make_loader(faults);
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 64)));
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(data_packet(pattern(32, 9)))));
  ASSERT_EQ(out.size(), 1u);
  Words words = answer_words(out[0]);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0], 0x0501);
  EXPECT_FALSE(answer_is_valid(words));
  EXPECT_EQ(out[0].record.words, words);  // logged as sent, bad checksum included
  EXPECT_EQ(loader.memory.devices[1].written_end, 32u);
  std::vector<Words> next = answers_to(loader, raw_frame(data_packet(pattern(32, 9))));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(answer_is_valid(next[0]));
}

TEST(Faults, WrongChannelMovesTheKthYEncAnswerOffG) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.wrong_channel_answer = 2; }),
                              Framing::YEnc);
  std::vector<std::uint8_t> channels;
  for (int k = 1; k <= 3; ++k) {
    std::vector<LoaderEvent> out = sends(feed(loader, yenc_frame(build_ping())));
    ASSERT_EQ(out.size(), 1u);
    channels.push_back(out[0].frame[1]);
    EXPECT_EQ(out[0].frame[0], '=');
  }
  EXPECT_EQ(channels[0], 'G');
  EXPECT_NE(channels[1], 'G');
  EXPECT_EQ(channels[2], 'G');
}

TEST(Faults, GarbageReplacesTheKthAnswerWithALineNotStartingWithEquals) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.garbage_answer = 1; }),
                              Framing::YEnc);
  std::vector<LoaderEvent> out = sends(feed(loader, yenc_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  ASSERT_FALSE(out[0].frame.empty());
  EXPECT_NE(out[0].frame[0], '=');
  EXPECT_EQ(out[0].frame.back(), '\r');
  EXPECT_EQ(out[0].record.kind, RecordKind::Junk);
  EXPECT_EQ(out[0].record.bytes, out[0].frame);
  std::vector<Words> next = answers_to(loader, yenc_frame(build_ping()));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(answer_is_valid(next[0]));
}

TEST(Faults, FragmentAsksForThatManyPieces) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.fragment_pieces = 4; }));
  std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(build_ping())));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].pieces, 4u);
}

TEST(Faults, FlipReadsOneByteBackWrongTheGivenNumberOfTimes) {
  FaultOptions faults;
  faults.flips.push_back({2, 0x21, 1});
  Loader loader = make_loader(faults);
  Bytes image = pattern(64, 0x40);
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 2, 0, 64)));
  answers_to(loader, raw_frame(data_packet(Bytes(image.begin(), image.begin() + 32))));
  answers_to(loader, raw_frame(data_packet(Bytes(image.begin() + 32, image.end()))));

  Words right = {0xF639};
  for (std::size_t i = 32; i < 64; i += 2) {
    right.push_back(static_cast<std::uint16_t>(image[i] | image[i + 1] << 8));
  }
  for (int read = 1; read <= 2; ++read) {
    answers_to(loader, raw_frame(build_begin(OP_VERIFY_DATA, 2, 32, 64)));
    std::vector<Words> answers = answers_to(loader, raw_frame(build_read_next()));
    ASSERT_EQ(answers.size(), 1u);
    Words words(answers[0].begin(), answers[0].end() - 1);
    EXPECT_TRUE(answer_is_valid(answers[0]));
    // Offset 0x21 is the high byte of the block's first word.
    Words expected = right;
    if (read == 1) expected[1] ^= 0xFF00;
    EXPECT_EQ(words, expected) << "read " << read;
  }
  EXPECT_EQ(loader.memory.devices[2].bytes[0x21], image[0x21]);  // the memory stays right
}

TEST(Faults, FlipAlwaysSpoilsEveryChecksumOverIt) {
  FaultOptions faults;
  faults.flips.push_back({1, 1000, -1});
  Loader loader = make_loader(faults);
  Bytes image = pattern(1024, 0);
  answers_to(loader, raw_frame(build_begin(OP_PROGRAM_FLASH, 1, 0, 1024)));
  for (std::size_t offset = 0; offset < image.size(); offset += 32) {
    answers_to(loader, raw_frame(data_packet(Bytes(image.begin() + static_cast<long>(offset),
                                                 image.begin() + static_cast<long>(offset + 32)))));
  }
  std::uint16_t right = word_sum(image.data(), 512);
  for (int read = 1; read <= 3; ++read) {
    answers_to(loader, raw_frame(build_begin(OP_VERIFY_CHECKSUM, 1, 0, 1024)));
    std::vector<Words> answers = answers_to(loader, raw_frame(build_read_next()));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0][1], right);
  }
}

TEST(Faults, ShortReadCutsTheKthBlockAnswerToAValidShorterPacket) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.short_read_answer = 2; }));
  answers_to(loader, raw_frame(build_begin(OP_VERIFY_DATA, 1, 0, 72)));
  std::vector<std::size_t> payload_words;
  for (int k = 1; k <= 3; ++k) {
    std::vector<Words> answers = answers_to(loader, raw_frame(build_read_next()));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answer_is_valid(answers[0]));
    payload_words.push_back(answers[0].size() - 2);
  }
  EXPECT_EQ(payload_words, (std::vector<std::size_t>{16, 8, 16}));
}

TEST(Faults, ShortReadOfALastShortBlockStillCarriesFewerWordsThanItNeeds) {
  Loader loader = make_loader(with([](FaultOptions& f) { f.short_read_answer = 1; }));
  answers_to(loader, raw_frame(build_begin(OP_VERIFY_DATA, 1, 0, 8)));  // the block needs 4 words
  std::vector<Words> answers = answers_to(loader, raw_frame(build_read_next()));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answer_is_valid(answers[0]));
  EXPECT_LT(answers[0].size() - 2, 4u);
}

TEST(Faults, HangupCarriesOutTheKthCommandThenCutsTheLine) {
  FaultOptions faults;
  faults.hangup_code = CMD_BEGIN;
  faults.hangup_occurrence = 2;
  Loader loader = make_loader(faults);
  EXPECT_EQ(answers_to(loader, raw_frame(build_begin(OP_LOAD_SRAM, 0, 0, 64))).size(), 1u);
  std::vector<LoaderEvent> events = feed(loader, raw_frame(build_begin(OP_VERIFY_DATA, 3, 32, 64)));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, EventKind::HangUp);
  EXPECT_TRUE(sends(events).empty());
  EXPECT_EQ(loader.transfer.operation, Operation::VerifyData);
  EXPECT_TRUE(feed(loader, raw_frame(build_ping())).empty());
}

// What chaos did to each of `count` pings: 'd' dropped, 'c' corrupted, 'f' fragmented, '.' none.
std::string chaos_trace(std::uint64_t seed, double probability, int count) {
  FaultOptions faults;
  faults.seed = seed;
  faults.chaos = probability;
  Loader loader = make_loader(faults);
  std::string trace;
  for (int i = 0; i < count; ++i) {
    std::vector<LoaderEvent> out = sends(feed(loader, raw_frame(build_ping())));
    if (out.empty()) {
      trace += 'd';
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
  for (char kind : {'d', 'c', 'f', '.'}) {
    EXPECT_NE(first.find(kind), std::string::npos) << kind;
  }
  EXPECT_EQ(chaos_trace(42, 0.0, 50), std::string(50, '.'));
  EXPECT_EQ(chaos_trace(42, 1.0, 50).find('.'), std::string::npos);
}

}  // namespace
}  // namespace xarveld::sim
