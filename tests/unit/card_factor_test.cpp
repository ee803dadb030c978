// The card factor rule over the stored reset answer, alone: the 8 bytes
// from index ResetAnswerLength - K + 5, and every answer too short for them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "card/commands.h"
#include "core/messages.h"
#include "core/result.h"
#include "core/state.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Store(const Bytes& answer) {
  ResetProcessState();
  std::memcpy(ResetAnswer, answer.data(), answer.size());
  ResetAnswerLength = static_cast<int>(answer.size());
}

Bytes Factor() {
  std::uint8_t factor[9];
  std::memset(factor, 0xEE, sizeof factor);
  const int r = CardFactorFromResetAnswer(test::Op(), factor);
  EXPECT_EQ(factor[8], 0xEE);
  if (r != kOk) return {};
  return Bytes(factor, factor + 8);
}

TEST(CardFactor, HistoricalBytesSixToThirteen) {
  // 3B 6D: TB1 and TC1 follow, then 13 historical bytes.
  Store({0x3B, 0x6D, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
  EXPECT_EQ(Factor(), (Bytes{6, 7, 8, 9, 10, 11, 12, 13}));
}

TEST(CardFactor, CountsFromTheEndOfTheStoredAnswer) {
  // 15 historical bytes: the factor starts at the sixth of them.
  Bytes answer = {0x3B, 0x0F};
  for (int i = 1; i <= 15; ++i) answer.push_back(static_cast<std::uint8_t>(0x40 + i));
  Store(answer);
  EXPECT_EQ(Factor(), (Bytes{0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D}));

  // A check byte after the historical bytes shifts the window by one.
  answer.push_back(0xCC);
  Store(answer);
  EXPECT_EQ(Factor(), (Bytes{0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E}));
}

TEST(CardFactor, TooFewHistoricalBytesAreRefused) {
  Store({0x3B, 0x6C, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_TRUE(Factor().empty());
  Store({0x3B, 0x02, 0x14, 0x50});
  EXPECT_TRUE(Factor().empty());
  Store({0x3B, 0x00});
  EXPECT_TRUE(Factor().empty());
}

TEST(CardFactor, NoStoredAnswerIsRefused) {
  ResetProcessState();
  EXPECT_TRUE(Factor().empty());
  std::uint8_t factor[8];
  EXPECT_EQ(CardFactorFromResetAnswer(test::Op(), factor), kErrParam);
}

TEST(CardFactor, ALengthThatClaimsMoreThanTheAnswerIsRefused) {
  // T0 claims 15 historical bytes that the 8-byte answer does not have.
  Store({0x3B, 0x0F, 1, 2, 3, 4, 5, 6});
  EXPECT_TRUE(Factor().empty());
  // A count beyond the stored bytes must not lead outside them.
  Store({0x3B, 0x0D});
  ResetAnswerLength = kResetAnswerSize + 8;
  EXPECT_TRUE(Factor().empty());
  ResetAnswerLength = -3;
  EXPECT_TRUE(Factor().empty());
}

TEST(CardFactor, LongestStoredAnswerReadsItsLastBytes) {
  Bytes answer(kResetAnswerSize, 0x00);
  answer[0] = 0x3B;
  answer[1] = 0x0D;
  for (int i = 0; i < 8; ++i)
    answer[kResetAnswerSize - 8 + i] = static_cast<std::uint8_t>(0xF0 + i);
  Store(answer);
  EXPECT_EQ(Factor(), (Bytes{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7}));
}

}  // namespace
}  // namespace kx
