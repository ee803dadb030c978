// When a simulated device's bytes reach the host, on both transports:
// times in microseconds, delays in milliseconds.
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
  schedule.Add(1000000, {{300, B("a")}, {40, B("b")}, {0, B("c")}});
  EXPECT_EQ(schedule.NextDue(), 1300000u);
  EXPECT_EQ(schedule.PendingBytes(), 3u);
  EXPECT_EQ(schedule.TakeDue(1299999), B(""));
  EXPECT_EQ(schedule.TakeDue(1300000), B("a"));
  EXPECT_EQ(schedule.NextDue(), 1340000u);
  EXPECT_EQ(schedule.TakeDue(5000000), B("bc"));
  EXPECT_TRUE(schedule.empty());
}

TEST(SimReplySchedule, AQuickReplyNeverOvertakesASlowOne) {
  ReplySchedule schedule;
  schedule.Add(0, {{500, B("slow")}});
  schedule.Add(10000, {{0, B("quick")}, {20, B("!")}});
  EXPECT_EQ(schedule.TakeDue(499999), B(""));
  EXPECT_EQ(schedule.TakeDue(500000), B("slowquick"));
  // The quick reply's own gap still holds after it waited.
  EXPECT_EQ(schedule.NextDue(), 520000u);
}

// At 9600 baud a byte takes 1041.7 us: the host's bytes reach the device
// one after another, a reply leaves after them and its delay, and each of
// its bytes is due when its last bit is in.
TEST(SimReplySchedule, APacedLineCarriesOneByteEveryTenBitTimes) {
  ReplySchedule schedule;
  schedule.SetBaud(9600);
  EXPECT_EQ(LineTimeUs(3, 9600), 3125u);
  EXPECT_EQ(schedule.HostBytes(0, 3), 3125u);
  EXPECT_EQ(schedule.HostBytes(1000, 1), 4167u);  // queued behind the first three
  EXPECT_EQ(schedule.HostBytes(10000, 1), 11042u);

  schedule.Add(4167, {{2, B("ab")}, {1, B("c")}});
  EXPECT_EQ(schedule.NextDue(), 6167u + 1042u);
  EXPECT_EQ(schedule.BurstDue(8, 10000), 6167u + 2084u);  // the chunk ends first
  EXPECT_EQ(schedule.BurstDue(1, 10000), 6167u + 1042u);
  EXPECT_EQ(schedule.BurstDue(8, 500), 6167u + 1042u + 500u);
  EXPECT_EQ(schedule.TakeDue(7208), B(""));
  EXPECT_EQ(schedule.TakeDue(7209), B("a"));
  EXPECT_EQ(schedule.PendingBytes(), 2u);
  EXPECT_EQ(schedule.TakeDue(8250), B(""));
  EXPECT_EQ(schedule.TakeDue(8251), B("b"));
  // The second chunk's delay counts from the first one's last byte.
  EXPECT_EQ(schedule.NextDue(), 8251u + 1000u + 1042u);
  EXPECT_EQ(schedule.TakeDue(10293), B("c"));
  EXPECT_TRUE(schedule.empty());

  // A line without a speed carries everything at once.
  schedule.SetBaud(0);
  EXPECT_EQ(schedule.HostBytes(20000, 500), 20000u);
  schedule.Add(20000, {{0, B("xyz")}});
  EXPECT_EQ(schedule.TakeDue(20000), B("xyz"));
}

}  // namespace
}  // namespace kx::sim
