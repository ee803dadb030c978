// Command-line options of kx-sim.
#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kx::sim {
namespace {

std::string Parse(std::vector<const char*> args, SimOptions& options) {
  args.insert(args.begin(), "kx-sim");
  return ParseSimOptions(static_cast<int>(args.size()), args.data(), options);
}

TEST(SimOptions, NothingGivenMeansAWellBehavedReaderWithBothCards) {
  SimOptions o;
  EXPECT_EQ(Parse({}, o), "");
  EXPECT_FALSE(o.noCard || o.noPsam || o.contactlessCard || o.trace || o.help);
  EXPECT_FALSE(o.faults.silent || o.faults.badCheck || o.faults.letterDigits);
  EXPECT_EQ(o.faults.remaining, -1);
  EXPECT_EQ(o.exitAfterIdleMs, 0u);
  EXPECT_TRUE(o.pathFile.empty());
}

TEST(SimOptions, Flags) {
  SimOptions o;
  EXPECT_EQ(Parse({"--no-card", "--no-psam", "--contactless-card", "--silent", "--bad-check",
                   "--lower-case", "--trace", "--console", "--print-path-only", "-h"},
                  o),
            "");
  EXPECT_TRUE(o.noCard && o.noPsam && o.contactlessCard && o.faults.silent && o.faults.badCheck);
  EXPECT_TRUE(o.faults.letterDigits && o.faults.lowerCaseLetters);
  EXPECT_TRUE(o.trace && o.console && o.printPathOnly && o.help);
}

TEST(SimOptions, ValuesInBothSpellings) {
  SimOptions o;
  EXPECT_EQ(Parse({"--delay",
                   "250",
                   "--split=3",
                   "--split-gap",
                   "15",
                   "--garbage",
                   "41 42",
                   "--trailing=0d0A",
                   "--status",
                   "1002",
                   "--reply-data",
                   "3B00",
                   "--length-field",
                   "300",
                   "--only-command",
                   "26",
                   "--after",
                   "2",
                   "--times",
                   "1",
                   "--path-file",
                   "/tmp/kx-sim.path",
                   "--exit-after-idle",
                   "0.25",
                   "--damage=early-etx",
                   "--damage-at",
                   "9",
                   "--pin-tries",
                   "0",
                   "--pull-card-after",
                   "8"},
                  o),
            "");
  EXPECT_EQ(o.pinTries, 0);
  EXPECT_EQ(o.pullCardAt, 8u);
  EXPECT_EQ(o.faults.delayMs, 250u);
  EXPECT_EQ(o.faults.splitInto, 3);
  EXPECT_EQ(o.faults.splitGapMs, 15u);
  EXPECT_EQ(o.faults.garbageBeforeStx, (Bytes{0x41, 0x42}));
  EXPECT_EQ(o.faults.trailingBytes, (Bytes{0x0D, 0x0A}));
  EXPECT_EQ(o.faults.status, 0x1002);
  EXPECT_EQ(o.faults.replyData, (Bytes{0x3B, 0x00}));
  EXPECT_EQ(o.faults.lengthField, 300);
  EXPECT_EQ(o.faults.onlyCommand, 0x26);
  EXPECT_EQ(o.faults.after, 2);
  EXPECT_EQ(o.faults.remaining, 1);
  EXPECT_EQ(o.pathFile, "/tmp/kx-sim.path");
  EXPECT_EQ(o.exitAfterIdleMs, 250u);
  EXPECT_EQ(o.faults.damage, WireDamage::kEarlyEtx);
  EXPECT_EQ(o.faults.damageAt, 9u);

  SimOptions hex;
  EXPECT_EQ(Parse({"--status=0x6A82", "--reply-data", ""}, hex), "");
  EXPECT_EQ(hex.faults.status, 0x6A82);
  EXPECT_EQ(hex.faults.replyData, Bytes{}) << "an empty reply is a fault worth asking for";
}

TEST(SimOptions, RefusedWithAReason) {
  const std::vector<std::vector<const char*>> bad = {
      {"--bogus"},
      {"--delay"},
      {"--silent=1"},
      {"--delay", "abc"},
      {"--delay", "-5"},
      {"--delay", "9999999"},
      {"--split", "0"},
      {"--garbage", "4"},
      {"--garbage", "XY"},
      {"--status", "12345"},
      {"--status", ""},
      {"--only-command", "100"},
      {"--times", "0"},
      {"--path-file", ""},
      {"--exit-after-idle", "0"},
      {"--exit-after-idle", "-1"},
      {"--exit-after-idle", "1s"},
      {"--exit-after-idle", "nan"},
      {"--baud", "0"},
      {"--baud", "5000000"},
      {"--card-time", "x"},
      {"--damage", "bite"},
      {"--damage-at", "x"},
      {"--pin-tries", "16"},
      {"--pull-card-after", "-1"},
  };
  for (const auto& args : bad) {
    SimOptions o;
    const std::string error = Parse(args, o);
    EXPECT_FALSE(error.empty()) << args[0] << (args.size() > 1 ? std::string(" ") + args[1] : "");
    const std::string name = std::string(args[0]).substr(0, std::string(args[0]).find('='));
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

// A paced line comes with cards that take a realistic time, unless told.
TEST(SimOptions, PacingAndTheCardsTime) {
  struct Row {
    std::vector<const char*> args;
    std::uint32_t baud;
    std::uint32_t commandMs;
    std::uint32_t cryptoMs;
  };
  const Row rows[] = {
      {{}, 0, 0, 0},
      {{"--baud", "9600"}, 9600, kPacedCardTimeMs, kPacedCryptoTimeMs},
      {{"--baud=115200", "--card-time", "1", "--crypto-time", "40"}, 115200, 1, 40},
      {{"--card-time", "5"}, 0, 5, 5},
  };
  for (const Row& row : rows) {
    SimOptions o;
    ASSERT_EQ(Parse(row.args, o), "");
    EXPECT_EQ(o.baud, row.baud);
    EXPECT_EQ(TimingOf(o).commandMs, row.commandMs);
    EXPECT_EQ(TimingOf(o).cryptoMs, row.cryptoMs);
  }
}

TEST(SimOptions, UsageListsEveryOption) {
  const std::string usage = SimUsage("kx-sim");
  EXPECT_NE(usage.find("kx-sim: reader on /dev/pts/N"), std::string::npos);
  for (const SimOptionEntry& entry : SimOptionTable()) {
    EXPECT_NE(usage.find(entry.name), std::string::npos) << entry.name;
  }
}

}  // namespace
}  // namespace kx::sim
