// ReaderPort's dispatch, open, close and write over the simulated platform.
#include <gtest/gtest.h>

#include "link/hid_link.h"
#include "link/reader_port.h"
#include "tests/support/gbk.h"
#include "tests/unit/link_test_device.h"

namespace kx::test {
namespace {

const Bytes kStop = {0x1B, 0x25, 0x42};

using ReaderPortState = LinkTest;

TEST_F(ReaderPortState, BeforeAnyOpenTheHidSideAnswersWithoutADevice) {
  EXPECT_EQ(LinkKind, LinkSide::Hid);
  EXPECT_FALSE(SerialPortOpen);
  const Bytes command = B("abc");
  EXPECT_EQ(ReaderPort.Write(command.data(), 3).status, LinkStatus::kNotOpen);
  EXPECT_EQ(Read().status, LinkStatus::kNotOpen);
  EXPECT_EQ(buffer[0], 0);  // read as an empty reply
  EXPECT_EQ(tookMs, 0u);
  ReaderPort.Close();
  EXPECT_EQ(ReaderPort.NativeHandle(), 0u);
  EXPECT_EQ(LinkKind, LinkSide::Hid);
  EXPECT_EQ(Utf8(ReaderHidLink.StatusText()), "设备未连接!");
  EXPECT_EQ(backend.OpenCount(1), 0);
  EXPECT_TRUE(backend.Writes(1).empty());
}

TEST_F(ReaderPortState, SerialOpenSetsTheLineRaisesRtsAndPurges) {
  ASSERT_TRUE(ReaderPort.Open(1, 19200, 8, 1).ok());
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  EXPECT_TRUE(SerialPortOpen);
  EXPECT_TRUE(backend.IsOpen(1));
  EXPECT_EQ(backend.Line(1).baud, 19200);
  EXPECT_EQ(backend.Line(1).byteSize, 8);
  EXPECT_EQ(backend.Line(1).parity, 1);
  EXPECT_TRUE(backend.Rts(1));
  EXPECT_EQ(backend.PurgeCount(1), 1);
  EXPECT_EQ(ReaderPort.NativeHandle(), 0x1001u);
  EXPECT_TRUE(backend.Writes(1).empty());
}

TEST_F(ReaderPortState, DataBitsAreTakenAsOneByte) {
  ASSERT_TRUE(ReaderPort.Open(1, 9600, 0x108, 3).ok());
  EXPECT_EQ(backend.Line(1).byteSize, 8);
  EXPECT_EQ(backend.Line(1).parity, 3);
}

TEST_F(ReaderPortState, SecondOpenKeepsTheFirstPortAndItsSettings) {
  ASSERT_TRUE(ReaderPort.Open(1, 9600, 8, 1).ok());
  EXPECT_TRUE(ReaderPort.Open(2, 115200, 7, 2).ok());
  EXPECT_EQ(backend.OpenCount(1), 1);
  EXPECT_EQ(backend.OpenCount(2), 0);
  EXPECT_EQ(backend.Line(1).baud, 9600);
  Send("x");
  EXPECT_EQ(backend.Writes(1).size(), 1u);
  EXPECT_TRUE(backend.Writes(2).empty());
}

TEST_F(ReaderPortState, FailedSerialOpensLeaveNothingOpen) {
  EXPECT_EQ(ReaderPort.Open(7, 9600, 8, 1).status, LinkStatus::kOpenFailed);  // no device there
  EXPECT_FALSE(SerialPortOpen);
  EXPECT_EQ(LinkKind, LinkSide::Hid);

  backend.FailLineSettings(1, true);
  EXPECT_EQ(OpenCom1().status, LinkStatus::kOpenFailed);
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(SerialPortOpen);
  backend.FailLineSettings(1, false);

  backend.FailQueueSizes(1, true);
  EXPECT_EQ(OpenCom1().status, LinkStatus::kOpenFailed);
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(backend.Rts(1));
  backend.FailQueueSizes(1, false);

  // The port was released each time, so it opens now.
  EXPECT_TRUE(OpenCom1().ok());
  EXPECT_EQ(backend.OpenCount(1), 3);
}

TEST_F(ReaderPortState, FailedUsbOpenSwitchesToSerialAndKeepsAnOpenPort) {
  ASSERT_TRUE(OpenCom1().ok());
  EXPECT_EQ(ReaderPort.Open(kUsbPort, 9600, 8, 1).status, LinkStatus::kOpenFailed);
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  EXPECT_TRUE(SerialPortOpen);
  EXPECT_TRUE(backend.IsOpen(1));
  Send("still com1");
  EXPECT_EQ(com1.received.back(), B("still com1"));
}

TEST_F(ReaderPortState, FailedUsbOpenWithoutASerialPortLeavesTheSerialSideClosed) {
  EXPECT_EQ(ReaderPort.Open(kUsbPort, 9600, 8, 1).status, LinkStatus::kOpenFailed);
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  const Bytes command = B("abc");
  EXPECT_EQ(ReaderPort.Write(command.data(), 3).status, LinkStatus::kNotOpen);
  EXPECT_EQ(Read().status, LinkStatus::kNotOpen);
  ReaderPort.Close();
  EXPECT_EQ(backend.OpenCount(1), 0);
}

TEST_F(ReaderPortState, WhileTheHidSideIsInUseASerialPortStaysOpenUntouched) {
  ASSERT_TRUE(OpenCom1().ok());
  LinkKind = LinkSide::Hid;  // as after an Open(100) that found the reader
  const Bytes command = B("abc");
  EXPECT_EQ(ReaderPort.Write(command.data(), 3).status, LinkStatus::kNotOpen);
  ReaderPort.Close();
  EXPECT_TRUE(backend.IsOpen(1));
  EXPECT_TRUE(SerialPortOpen);
  EXPECT_TRUE(backend.Writes(1).empty());
  EXPECT_EQ(LinkKind, LinkSide::Hid);
}

TEST_F(ReaderPortState, OpeningTheKeptSerialPortAgainTurnsTheLinkBackToIt) {
  ASSERT_TRUE(OpenCom1().ok());
  LinkKind = LinkSide::Hid;  // as after an Open(100) that found the reader
  ReaderPort.Close();        // closes only the HID side
  ASSERT_TRUE(ReaderPort.Open(2, 9600, 8, 1).ok());
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  EXPECT_EQ(backend.OpenCount(2), 0);
  Send("to com1");
  EXPECT_EQ(com1.received.back(), B("to com1"));
}

TEST_F(ReaderPortState, CloseSendsTheStopSequenceThenLowersRtsAndCloses) {
  ASSERT_TRUE(OpenCom1().ok());
  const int purgesBefore = backend.PurgeCount(1);
  ReaderPort.Close();
  ASSERT_EQ(backend.Writes(1).size(), 1u);
  EXPECT_EQ(backend.Writes(1)[0], kStop);
  EXPECT_EQ(backend.PurgeCount(1), purgesBefore + 1);
  EXPECT_FALSE(backend.Rts(1));
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(SerialPortOpen);
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  EXPECT_EQ(ReaderPort.NativeHandle(), 0u);

  // Closed: writes and reads report the missing port, a second close is quiet.
  const Bytes command = B("abc");
  EXPECT_EQ(ReaderPort.Write(command.data(), 3).status, LinkStatus::kNotOpen);
  EXPECT_EQ(Read().status, LinkStatus::kNotOpen);
  ReaderPort.Close();
  EXPECT_EQ(backend.Writes(1).size(), 1u);
  // The port can be opened again.
  EXPECT_TRUE(OpenCom1().ok());
  EXPECT_EQ(backend.OpenCount(1), 2);
}

TEST_F(ReaderPortState, CloseStillClosesWhenTheStopSequenceCannotBeSent) {
  ASSERT_TRUE(OpenCom1().ok());
  backend.StallWrites(1, true);
  ReaderPort.Close();
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(SerialPortOpen);
}

TEST_F(ReaderPortState, ResetClosesWithoutSendingAndReturnsToLoadTimeState) {
  ASSERT_TRUE(OpenCom1().ok());
  ResetLibraryForTests();
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_TRUE(backend.Writes(1).empty());
  EXPECT_FALSE(SerialPortOpen);
  EXPECT_EQ(LinkKind, LinkSide::Hid);
}

using ReaderPortWrite = LinkTest;

TEST_F(ReaderPortWrite, EveryWriteFirstDiscardsUnreadInput) {
  ASSERT_TRUE(OpenCom1().ok());
  com1.Then({Chunk(30, "\x02late\x03")});
  com1.Then({Chunk(30, "\x02next\x03")});
  Send("first");
  backend.Advance(200);  // the first reply arrives but is never read
  const int purges = backend.PurgeCount(1);
  Send("second");
  EXPECT_EQ(backend.PurgeCount(1), purges + 1);
  const LinkResult n = Read();
  EXPECT_EQ(Text(n), "\x02next\x03");
  EXPECT_EQ(backend.PendingBytes(1), 0u);
}

TEST_F(ReaderPortWrite, PurgeKeepsAReplyStillOnItsWay) {
  ASSERT_TRUE(OpenCom1().ok());
  com1.Then({Chunk(50, "AB\x03")});
  Send("first");
  backend.Advance(20);
  const Bytes nothing;
  EXPECT_EQ(ReaderPort.Write(nothing.data(), 0), LinkDone(0));  // purges, writes nothing
  EXPECT_EQ(Text(Read()), "AB\x03");
}

TEST_F(ReaderPortWrite, WritesAreBoundToOneSecond) {
  ASSERT_TRUE(OpenCom1().ok());
  Send("ok");
  EXPECT_EQ(backend.LastWriteTimeoutMs(), 1000u);
  backend.StallWrites(1, true);
  const Bytes command = B("stuck");
  const std::uint32_t start = backend.Now();
  EXPECT_EQ(ReaderPort.Write(command.data(), 5).status, LinkStatus::kTimedOut);
  EXPECT_EQ(backend.Now() - start, 1000u);
}

TEST_F(ReaderPortWrite, NothingToWriteWritesNothing) {
  ASSERT_TRUE(OpenCom1().ok());
  const Bytes command = B("abc");
  EXPECT_EQ(ReaderPort.Write(command.data(), 0), LinkDone(0));
  EXPECT_EQ(ReaderPort.Write(command.data(), -5).status, LinkStatus::kBadArgument);
  EXPECT_EQ(ReaderPort.Write(nullptr, 3).status, LinkStatus::kBadArgument);
  EXPECT_TRUE(backend.Writes(1).empty());
}

}  // namespace
}  // namespace kx::test
