#include "link/deadline.h"

#include <gtest/gtest.h>

namespace kx::deadline {
namespace {

TEST(Deadline, ElapsedSurvivesTheCounterWrapping) {
  EXPECT_EQ(Elapsed(1000, 1500), 500u);
  EXPECT_EQ(Elapsed(0xFFFFFF00u, 0x00000064u), 0x164u);
  EXPECT_EQ(Elapsed(0xFFFFFFFFu, 0), 1u);
  EXPECT_EQ(Elapsed(7, 7), 0u);
}

TEST(Deadline, MoreThanPassedIsStrict) {
  EXPECT_FALSE(MoreThanPassed(100, 200, 100));
  EXPECT_TRUE(MoreThanPassed(100, 201, 100));
  EXPECT_FALSE(MoreThanPassed(0xFFFFFFF0u, 0x54u, 100));  // 100 ms across the wrap
  EXPECT_TRUE(MoreThanPassed(0xFFFFFFF0u, 0x55u, 100));
  EXPECT_TRUE(MoreThanPassed(5, 6, 0));
  EXPECT_FALSE(MoreThanPassed(5, 5, 0));
}

TEST(Deadline, UntilMoreThanCountsToTheFirstMillisecondPastTheLimit) {
  EXPECT_EQ(UntilMoreThan(0, 0, 5000), 5001u);
  EXPECT_EQ(UntilMoreThan(0, 4990, 5000), 11u);
  EXPECT_EQ(UntilMoreThan(0, 5000, 5000), 1u);
  EXPECT_EQ(UntilMoreThan(0, 5001, 5000), 0u);
  EXPECT_EQ(UntilMoreThan(0xFFFFFFFFu, 99, 100), 1u);
  EXPECT_EQ(UntilMoreThan(0xFFFFFFFFu, 100, 100), 0u);
  // Waiting exactly that long makes the limit fire.
  const std::uint32_t start = 0xFFFFFF9Cu;
  const std::uint32_t now = start + 37;
  EXPECT_TRUE(MoreThanPassed(start, now + UntilMoreThan(start, now, 150), 150));
  EXPECT_FALSE(MoreThanPassed(start, now + UntilMoreThan(start, now, 150) - 1, 150));
}

TEST(Deadline, HugeLimitsAreCut) {
  EXPECT_EQ(UntilMoreThan(0, 0, 0xFFFFFFFFu), kMaxLimitMs + 1);
  EXPECT_FALSE(MoreThanPassed(0, kMaxLimitMs, 0xFFFFFFFFu));
  EXPECT_TRUE(MoreThanPassed(0, kMaxLimitMs + 1, 0xFFFFFFFFu));
}

TEST(Deadline, WaitSliceStaysBetweenOneAndTenMilliseconds) {
  EXPECT_EQ(WaitSlice(0), 1u);
  EXPECT_EQ(WaitSlice(1), 1u);
  EXPECT_EQ(WaitSlice(7), 7u);
  EXPECT_EQ(WaitSlice(10), 10u);
  EXPECT_EQ(WaitSlice(11), kMaxWaitSliceMs);
  EXPECT_EQ(WaitSlice(0xFFFFFFFFu), kMaxWaitSliceMs);
}

TEST(Deadline, SecondsBecomeABoundedMillisecondLimit) {
  EXPECT_EQ(SecondsToLimitMs(5), 5000u);
  EXPECT_EQ(SecondsToLimitMs(0), 0u);
  EXPECT_EQ(SecondsToLimitMs(-3), 0u);
  EXPECT_EQ(SecondsToLimitMs(2147483647), kMaxLimitMs);
  EXPECT_EQ(SecondsToLimitMs(2147483), 2147483000u);
}

}  // namespace
}  // namespace kx::deadline
