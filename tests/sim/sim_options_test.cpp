// The simulator's command line: what each option sets, and what is refused.
#include <gtest/gtest.h>

#include "sim/sim_options.hpp"

namespace xarveld::sim {
namespace {

SimParse parse(std::vector<std::string> arguments) { return parse_sim_options(arguments); }

TEST(SimOptions, DefaultsServeOneSessionOnCom1InTheWorkingDirectory) {
  SimParse parsed = parse({});
  ASSERT_EQ(parsed.status, ParseStatus::Run);
  EXPECT_EQ(parsed.options.directory, ".");
  EXPECT_EQ(parsed.options.port, 1);
  EXPECT_FALSE(parsed.options.serve_forever);
  EXPECT_EQ(parsed.options.loader.start_framing, Framing::Raw);
  EXPECT_EQ(parsed.options.loader.faults.ping_code, 0x050E);
  EXPECT_EQ(parsed.options.pace_baud, 0u);
  EXPECT_EQ(parsed.options.latency_ms, 0u);
  EXPECT_TRUE(parsed.options.banner.empty());
  EXPECT_EQ(parsed.options.loader.faults.stop_reading_occurrence, 0u);
}

TEST(SimOptions, LineAndEvidenceOptions) {
  SimParse parsed = parse({"--dir", "/tmp/bench", "--port=4", "--serve-forever", "--start", "yenc",
                           "--dump", "out", "--wire=w.log", "--pace", "115200", "--latency",
                           "16", "--banner", "Boot ROM v2 = ok"});
  ASSERT_EQ(parsed.status, ParseStatus::Run) << parsed.error;
  EXPECT_EQ(parsed.options.directory, "/tmp/bench");
  EXPECT_EQ(parsed.options.port, 4);
  EXPECT_TRUE(parsed.options.serve_forever);
  EXPECT_EQ(parsed.options.loader.start_framing, Framing::YEnc);
  EXPECT_EQ(parsed.options.dump_directory, "out");
  EXPECT_EQ(parsed.options.wire_path, "w.log");
  EXPECT_EQ(parsed.options.pace_baud, 115200u);
  EXPECT_EQ(parsed.options.latency_ms, 16u);
  EXPECT_EQ(parsed.options.banner, "Boot ROM v2 = ok");
}

TEST(SimOptions, YEncOnlyStartsInYEnc) {
  SimParse parsed = parse({"--yenc-only"});
  ASSERT_EQ(parsed.status, ParseStatus::Run);
  EXPECT_TRUE(parsed.options.yenc_only);
  EXPECT_EQ(parsed.options.loader.start_framing, Framing::YEnc);
}

TEST(SimOptions, FaultOptions) {
  SimParse parsed = parse({"--silent", "--ping-code", "0x123", "--refuse-flash", "--drop",
                           "501:2,5", "--drop", "0x639:1", "--corrupt", "502:3",
                           "--wrong-channel", "4", "--garbage", "6", "--fragment", "3",
                           "--flip", "5:0x100", "--flip", "0:2048:2", "--short-read", "7",
                           "--hangup-after", "501:9", "--stop-reading-after", "0x639:4",
                           "--stall-after", "502:3:1500", "--seed", "99", "--chaos", "0.25",
                           "--chaos-kinds", "fragment,garble-command,corrupt,lose-command"});
  ASSERT_EQ(parsed.status, ParseStatus::Run) << parsed.error;
  const FaultOptions& f = parsed.options.loader.faults;
  EXPECT_TRUE(f.silent && f.refuse_flash);
  EXPECT_EQ(f.ping_code, 0x0123);
  ASSERT_EQ(f.drops.size(), 2u);
  EXPECT_EQ(f.drops[0].code, CMD_DATA);
  EXPECT_EQ(f.drops[0].occurrences, (std::vector<std::uint32_t>{2, 5}));
  EXPECT_EQ(f.drops[1].code, CMD_READ_NEXT);
  ASSERT_EQ(f.corrupts.size(), 1u);
  EXPECT_EQ(f.corrupts[0].code, CMD_BEGIN);
  EXPECT_EQ(f.corrupts[0].occurrences, (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(std::vector<std::uint32_t>({f.wrong_channel_answer, f.garbage_answer,
                                        f.fragment_pieces, f.short_read_answer}),
            std::vector<std::uint32_t>({4, 6, 3, 7}));
  ASSERT_EQ(f.flips.size(), 2u);
  EXPECT_EQ(std::vector<std::int64_t>({f.flips[0].device, f.flips[0].offset, f.flips[0].times,
                                       f.flips[1].device, f.flips[1].offset, f.flips[1].times}),
            std::vector<std::int64_t>({5, 0x100, -1, 0, 2048, 2}));
  EXPECT_EQ(f.hangup_code, CMD_DATA);
  EXPECT_EQ(f.hangup_occurrence, 9u);
  EXPECT_EQ(f.stop_reading_code, CMD_READ_NEXT);
  EXPECT_EQ(f.stop_reading_occurrence, 4u);
  EXPECT_EQ(std::vector<std::uint32_t>({f.stall_code, f.stall_occurrence, f.stall_ms}),
            std::vector<std::uint32_t>({CMD_BEGIN, 3, 1500}));
  EXPECT_EQ(f.seed, 99u);
  EXPECT_DOUBLE_EQ(f.chaos, 0.25);
  EXPECT_EQ(f.chaos_kinds, (std::vector<ChaosKind>{ChaosKind::Fragment, ChaosKind::GarbleCommand,
                                                    ChaosKind::Corrupt, ChaosKind::LoseCommand}));
}

TEST(SimOptions, HelpWinsAndListsEveryOption) {
  EXPECT_EQ(parse({"--port", "3", "--help"}).status, ParseStatus::Help);
  std::string usage = sim_usage();
  for (const char* option :
       {"--dir", "--port", "--serve-forever", "--start", "--yenc-only", "--dump", "--wire",
        "--load", "--silent", "--ping-code", "--refuse-flash", "--drop", "--corrupt",
        "--wrong-channel", "--garbage", "--fragment", "--pace", "--latency", "--banner", "--flip", "--short-read",
        "--hangup-after", "--stop-reading-after", "--stall-after", "--seed", "--chaos",
        "--chaos-kinds", "--help"}) {
    EXPECT_NE(usage.find(std::string("  ") + option + " "), std::string::npos) << option;
  }
}

TEST(SimOptions, BadArgumentsAreRefusedWithAMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"positional"}, {"--port"}, {"--port", "0"}, {"--port", "10"},
      {"--port", "x"}, {"--start", "hex"}, {"--start", "raw", "--yenc-only"}, {"--silent=1"},
      {"--dir", ""}, {"--load", "8=a.bin"}, {"--load", "5="},
      {"--ping-code", "10000"}, {"--ping-code", "-1"}, {"--drop", "501"},
      {"--drop", "501:0"}, {"--drop", "501:2,"}, {"--drop", "zz:1"}, {"--drop", "1000:1"},
      {"--corrupt", "502:"}, {"--hangup-after", "501:1,2"}, {"--wrong-channel", "0"},
      {"--garbage", "-3"}, {"--short-read", "1.5"}, {"--fragment", "0"}, {"--fragment", "65"},
      {"--pace", "0"}, {"--latency", "1001"}, {"--latency", "-1"}, {"--banner", ""},
      {"--banner", std::string(1001, 'x')}, {"--stop-reading-after", "501"},
      {"--stop-reading-after", "501:0"}, {"--stop-reading-after", "501:1,2"},
      {"--stall-after", "501:2"}, {"--stall-after", "501:2:0"}, {"--stall-after", "501:2:60001"},
      {"--flip", "8:0"},
      {"--flip", "1"}, {"--flip", "1:0x800000"}, {"--flip", "1:16:0"}, {"--seed", "abc"}, {"--chaos", "1.5"}, {"--chaos", "-0.1"},
      {"--chaos", "nan"}, {"--chaos-kinds", ""}, {"--chaos-kinds", "drop,,corrupt"},
      {"--chaos-kinds", "drop,drop"}, {"--chaos-kinds", "flip"}, {"--chaos-kinds", "lose"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    SimParse parsed = parse(arguments);
    EXPECT_EQ(parsed.status, ParseStatus::Error) << arguments[0];
    EXPECT_FALSE(parsed.error.empty()) << arguments[0];
  }
}

}  // namespace
}  // namespace xarveld::sim
