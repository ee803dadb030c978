// The simulated platform itself: other tiers rely on its clock, its chunk
// delivery and its Escape key behaving like the real thing.
#include <gtest/gtest.h>

#include "platform/sim/sim_backend.h"
#include "tests/unit/link_test_device.h"

namespace kx::test {
namespace {

using platform::SerialPort;

class SimBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { backend.Attach(3, &device); }

  SerialPort* OpenAndSend(const std::string& text) {
    SerialPort* port = backend.SerialOpen(3);
    EXPECT_NE(port, nullptr);
    const Bytes bytes = B(text);
    EXPECT_EQ(backend.SerialWrite(port, bytes.data(), static_cast<int>(bytes.size()), 1000),
              static_cast<int>(bytes.size()));
    return port;
  }

  std::string ReadAll(SerialPort* port) {
    std::uint8_t bytes[256];
    const int n = backend.SerialRead(port, bytes, sizeof bytes);
    return std::string(bytes, bytes + std::max(n, 0));
  }

  platform::sim::SimBackend backend;
  ScriptedDevice device;
};

TEST_F(SimBackendTest, PortsOpenOnlyWithADeviceAndOnlyOnce) {
  EXPECT_EQ(backend.SerialOpen(4), nullptr);
  SerialPort* port = backend.SerialOpen(3);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(backend.SerialOpen(3), nullptr);
  EXPECT_TRUE(backend.IsOpen(3));
  backend.SerialClose(port);
  EXPECT_FALSE(backend.IsOpen(3));
  EXPECT_NE(backend.SerialOpen(3), nullptr);
  EXPECT_EQ(backend.OpenCount(3), 2);
  backend.Detach(3);
  EXPECT_EQ(backend.SerialOpen(3), nullptr);
}

TEST_F(SimBackendTest, ChunksArriveAtTheirTimesAfterTheWrite) {
  device.Then({Chunk(20, "ab"), Chunk(30, "cde")});
  backend.SetNow(1000);
  SerialPort* port = OpenAndSend("hello");
  EXPECT_EQ(device.received.at(0), B("hello"));
  EXPECT_EQ(backend.SerialBytesWaiting(port), 0);
  backend.Advance(19);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 0);
  backend.Advance(1);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 2);
  backend.Advance(30);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 5);
  EXPECT_EQ(ReadAll(port), "abcde");
  EXPECT_EQ(backend.SerialBytesWaiting(port), 0);
  ASSERT_EQ(backend.Writes(3).size(), 1u);
  EXPECT_EQ(backend.Writes(3)[0], B("hello"));
}

TEST_F(SimBackendTest, WaitingStopsAtTheNextArrivalButNeverPastTheTimeOut) {
  device.Then({Chunk(25, "x")});
  SerialPort* port = OpenAndSend("q");
  const std::uint32_t start = backend.Now();
  EXPECT_FALSE(backend.SerialWaitReadable(port, 10));
  EXPECT_EQ(backend.Now() - start, 10u);
  EXPECT_FALSE(backend.SerialWaitReadable(port, 10));
  EXPECT_TRUE(backend.SerialWaitReadable(port, 10));
  EXPECT_EQ(backend.Now() - start, 25u);
  EXPECT_TRUE(backend.SerialWaitReadable(port, 10));  // input waiting: no time passes
  EXPECT_EQ(backend.Now() - start, 25u);
  EXPECT_EQ(backend.WaitCalls(), 4);
  EXPECT_EQ(backend.LongestWaitMs(), 10u);
}

TEST_F(SimBackendTest, PurgeDiscardsArrivedBytesOnly) {
  device.Then({Chunk(10, "old"), Chunk(40, "new")});
  SerialPort* port = OpenAndSend("q");
  backend.Advance(20);
  backend.SerialPurge(port);
  EXPECT_EQ(backend.PurgeCount(3), 1);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 0);
  EXPECT_EQ(backend.PendingBytes(3), 3u);
  backend.Advance(30);
  EXPECT_EQ(ReadAll(port), "new");
}

TEST_F(SimBackendTest, ASlowReplyIsNeverOvertakenByAQuickerOneBehindIt) {
  // The same order as kx-sim's pseudo-terminal: replies leave as a serial
  // line carries them, one after the other.
  device.Then({Chunk(50, "slow")});
  device.Then({Chunk(10, "fast")});
  SerialPort* port = OpenAndSend("1");
  const Bytes second = B("2");
  backend.SerialWrite(port, second.data(), 1, 1000);
  backend.Advance(15);
  EXPECT_EQ(ReadAll(port), "");
  backend.Advance(35);
  EXPECT_EQ(ReadAll(port), "slowfast");
}

TEST_F(SimBackendTest, EscapeIsDownNowOrPressedSinceTheLastQuery) {
  EXPECT_FALSE(backend.EscapePressed());
  backend.PressEscapeAt(backend.Now() + 100);
  backend.Advance(99);
  EXPECT_FALSE(backend.EscapePressed());
  backend.Advance(1);
  EXPECT_TRUE(backend.EscapePressed());
  EXPECT_FALSE(backend.EscapePressed());  // the press was taken

  backend.PressEscapeAt(backend.Now() - 5);  // already happened
  EXPECT_TRUE(backend.EscapePressed());
  EXPECT_FALSE(backend.EscapePressed());

  backend.SetEscapeDown(true);
  EXPECT_TRUE(backend.EscapePressed());
  EXPECT_TRUE(backend.EscapePressed());
  backend.SetEscapeDown(false);
  EXPECT_FALSE(backend.EscapePressed());

  backend.SetEscapeDown(true);  // a quick tap between two queries
  backend.SetEscapeDown(false);
  EXPECT_TRUE(backend.EscapePressed());
  EXPECT_FALSE(backend.EscapePressed());
}

TEST_F(SimBackendTest, TheTickWrapsWhileTimeRunsOn) {
  device.Then({Chunk(30, "w")});
  backend.SetNow(0xFFFFFFF0u);
  SerialPort* port = OpenAndSend("q");
  backend.Advance(29);
  EXPECT_EQ(backend.Now(), 13u);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 0);
  backend.SleepMs(1);
  EXPECT_EQ(backend.SerialBytesWaiting(port), 1);
  EXPECT_EQ(backend.TickMs(), 14u);
}

TEST_F(SimBackendTest, StalledWritesTakeTheirTimeOutAndSendNothing) {
  SerialPort* port = backend.SerialOpen(3);
  backend.StallWrites(3, true);
  const Bytes bytes = B("abc");
  const std::uint32_t start = backend.Now();
  EXPECT_EQ(backend.SerialWrite(port, bytes.data(), 3, 700), 0);
  EXPECT_EQ(backend.Now() - start, 700u);
  EXPECT_TRUE(device.received.empty());
}

}  // namespace
}  // namespace kx::test
