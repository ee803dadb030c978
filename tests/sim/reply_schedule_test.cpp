// The order in which a simulated device's replies reach the host, on both
// transports.
#include "sim/reply_schedule.h"

#include <gtest/gtest.h>

#include <string>

namespace kx::sim {
namespace {

std::vector<std::uint8_t> B(const std::string& s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

TEST(SimReplySchedule, ChunksAreDueAfterTheirDelaysInTurn) {
  ReplySchedule schedule;
  EXPECT_FALSE(schedule.NextDue());
  schedule.Add(1000, {{300, B("a")}, {40, B("b")}, {0, B("c")}});
  EXPECT_EQ(schedule.NextDue(), 1300u);
  EXPECT_EQ(schedule.PendingBytes(), 3u);
  EXPECT_EQ(schedule.TakeDue(1299), B(""));
  EXPECT_EQ(schedule.TakeDue(1300), B("a"));
  EXPECT_EQ(schedule.NextDue(), 1340u);
  EXPECT_EQ(schedule.TakeDue(5000), B("bc"));
  EXPECT_TRUE(schedule.empty());
}

TEST(SimReplySchedule, AQuickReplyNeverOvertakesASlowOne) {
  ReplySchedule schedule;
  schedule.Add(0, {{500, B("slow")}});
  schedule.Add(10, {{0, B("quick")}, {20, B("!")}});
  EXPECT_EQ(schedule.TakeDue(499), B(""));
  EXPECT_EQ(schedule.TakeDue(500), B("slowquick"));
  // The quick reply's own gap still holds after it waited.
  EXPECT_EQ(schedule.NextDue(), 520u);
}

}  // namespace
}  // namespace kx::sim
