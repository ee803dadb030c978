// The scripted test card itself: a fake that misreports would let card
// command tests pass for the wrong reasons.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/scripted_card.h"

namespace kx::test {
namespace {

TEST(ScriptedCard, AnswersEachStepInTurn) {
  ScriptedCard card;
  card.Expect("00 A4 00 00 02 3F 00", "90 00").Expect("00 84 00 00 04", "01 02 03 04 90 00");
  EXPECT_EQ(card.Transmit(HexBytes("00A40000023F00")), HexBytes("90 00"));
  EXPECT_EQ(card.Transmit(HexBytes("00 84 00 00 04")), HexBytes("01 02 03 04 90 00"));
  EXPECT_EQ(card.Problems(), "");
  EXPECT_EQ(card.StepsRun(), 2);
}

TEST(ScriptedCard, ReportsAMismatchByStep) {
  ScriptedCard card;
  card.Expect("00 A4 00 00 02 3F 00", "90 00")
      .Expect("00 A4 00 00 02 3F 00", "90 00")
      .Expect("00 A4 00 00 02 3F 00", "90 00")
      .Expect("00 A4 02 00 02 DF 01", "90 00");
  for (int i = 0; i < 3; ++i) card.Transmit(HexBytes("00 A4 00 00 02 3F 00"));
  EXPECT_EQ(card.Transmit(HexBytes("00 A4 00 00 02 DF 02")), HexBytes("6F 00"));
  EXPECT_EQ(card.Mismatches(),
            "at step 4: expected 00 A4 02 00 02 DF 01, got 00 A4 00 00 02 DF 02\n");
}

TEST(ScriptedCard, ReportsAPDUsBeyondTheScriptAndStepsNeverReached) {
  ScriptedCard card;
  card.Expect("00 B2 01 04 00", "90 00");
  card.Transmit(HexBytes("00 B2 01 04 00"));
  card.Transmit(HexBytes("00 B2 02 04 00"));
  EXPECT_EQ(card.Problems(), "at step 2: expected no more APDUs, got 00 B2 02 04 00\n");

  ScriptedCard idle;
  idle.Expect("00 B2 01 04 00", "90 00").ExpectAny(HexBytes("90 00"));
  EXPECT_EQ(idle.Mismatches(), "");
  EXPECT_EQ(idle.Problems(),
            "at step 1: expected 00 B2 01 04 00, got nothing\n"
            "at step 2: expected any APDU, got nothing\n");
}

TEST(ScriptedCard, AnyStepKeepsWhatItReceived) {
  ScriptedCard card;
  card.ExpectAny(HexBytes("90 00"));
  card.Transmit(HexBytes("80 FA 00 00 01 42 00"));
  EXPECT_EQ(card.Problems(), "");
  ASSERT_EQ(card.Received().size(), 1u);
  EXPECT_EQ(card.Received()[0], HexBytes("80 FA 00 00 01 42 00"));
}

TEST(ScriptedCard, CountsPowerCycles) {
  ScriptedCard card(HexBytes("3B 02 14 50"));
  EXPECT_EQ(card.PowerOn(), HexBytes("3B 02 14 50"));
  card.PowerOff();
  card.PowerOn();
  EXPECT_EQ(card.PowerOns(), 2);
  EXPECT_EQ(card.PowerOffs(), 1);
}

TEST(ScriptedCard, HexHelpersRefuseWhatIsNotHex) {
  EXPECT_EQ(HexBytes("0a Bc"), (Bytes{0x0A, 0xBC}));
  EXPECT_THROW(HexBytes("0G"), std::invalid_argument);
  EXPECT_THROW(HexBytes("012"), std::invalid_argument);
  EXPECT_EQ(HexText({0x00, 0xAB}), "00 AB");
  EXPECT_EQ(HexText({}), "");
}

}  // namespace
}  // namespace kx::test
