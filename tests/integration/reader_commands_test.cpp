// Opening, querying and releasing the reader, and the reader search of the
// all-in-one exports.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "link/reader_port.h"
#include "reader/commands.h"
#include "reader/frame.h"
#include "sim/card.h"
#include "sim/reader.h"
#include "tests/support/gbk.h"
#include "tests/support/sim_fixture.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Utf8;

const Bytes kUserAtr = {0x3B, 0x6C, 0x00, 0x00, 0x81, 0x01, 0x86, 0x02,
                        0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
const Bytes kPsamAtr = {0x3B, 0x02, 0x14, 0x50};
const Bytes kStart = {0x1B, 0x25, 0x49, 0x34};
const Bytes kStop = {0x1B, 0x25, 0x42};
const Bytes kPowerOnContact = {0x32, 0x22, 0x00, 0x00, 0x00};

std::shared_ptr<sim::Card> Card(const Bytes& atr) {
  return std::make_shared<sim::FixedStatusCard>(atr);
}

class ReaderCommands : public test::SimFixture {
 protected:
  int foundPort = 0;  // where ConnectUserCard found the reader
  std::string Text() const { return Utf8(ErrorText); }

  // Every SerialWrite on `port` that is not a control sequence.
  std::vector<Bytes> Frames(int port) const {
    std::vector<Bytes> frames;
    for (const auto& w : backend.Writes(port)) {
      if (!w.empty() && w[0] == 0x02) frames.push_back(w);
    }
    return frames;
  }
};

// ---------------------------------------------------------------- KXReaderInit

TEST_F(ReaderCommands, InitOnAComPortSendsTheStartSequence) {
  sim::Reader second;
  backend.Attach(3, &second);
  int params[2] = {3, 9600};
  unsigned int handle = 0;
  ASSERT_EQ(KXReaderInit(params, &handle), 0);
  EXPECT_TRUE(backend.IsOpen(3));
  EXPECT_EQ(backend.Line(3).baud, 9600);
  EXPECT_EQ(backend.Line(3).byteSize, 8);
  EXPECT_EQ(backend.Line(3).parity, 1);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(handle, ReaderPort.NativeHandle());
  ASSERT_EQ(backend.Writes(3).size(), 1u);
  EXPECT_EQ(backend.Writes(3)[0], kStart);
  EXPECT_EQ(ComPortNumber, 3);
}

TEST_F(ReaderCommands, InitClosesTheLinkItHadBefore) {
  sim::Reader second;
  backend.Attach(3, &second);
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  ASSERT_EQ(KXReaderInitTest(3, 115200), 0);
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_EQ(backend.Writes(1).back(), kStop);
  EXPECT_TRUE(backend.IsOpen(3));
  EXPECT_EQ(backend.Line(3).baud, 115200);
  EXPECT_EQ(backend.Writes(3).back(), kStart);
}

TEST_F(ReaderCommands, FailedInitStillRemembersThePort) {
  int params[2] = {7, 9600};
  unsigned int handle = 0xDEADBEEF;
  EXPECT_EQ(KXReaderInit(params, &handle), -2);
  EXPECT_EQ(Text(), "打开串口 7 失败");
  EXPECT_EQ(ComPortNumber, 7);
  EXPECT_EQ(handle, 0xDEADBEEFu);

  // The next search tries COM7 first.
  sim::Reader seventh;
  seventh.Insert(0, Card(kUserAtr));
  reader.Insert(0, Card(kUserAtr));
  backend.Attach(7, &seventh);
  EXPECT_EQ(ConnectUserCard(&foundPort), 0);
  EXPECT_EQ(backend.OpenCount(1), 0);
  EXPECT_TRUE(backend.IsOpen(7));
}

TEST_F(ReaderCommands, InitOnUsbWithoutDeviceTouchesNothing) {
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  backend.ClearWrites();
  int params[2] = {100, 9600};
  unsigned int handle = 0xDEADBEEF;
  EXPECT_EQ(KXReaderInit(params, &handle), -2);
  EXPECT_EQ(Text(), "连接USB失败");
  EXPECT_EQ(handle, 0xDEADBEEFu);
  EXPECT_EQ(ComPortNumber, 1);
  // Nothing was closed first and no start sequence went anywhere.
  EXPECT_TRUE(backend.IsOpen(1));
  EXPECT_TRUE(backend.Writes(1).empty());
  EXPECT_EQ(KXReaderInitTest(100, 0), -2);
}

TEST_F(ReaderCommands, InitWithoutParametersIsRefused) {
  EXPECT_EQ(KXReaderInit(nullptr, nullptr), -12);
  EXPECT_EQ(backend.OpenCount(1), 0);
  // A null handle pointer is simply not written.
  int params[2] = {1, 9600};
  EXPECT_EQ(KXReaderInit(params, nullptr), 0);
}

// ---------------------------------------------------------------- GetReaderStatus

TEST_F(ReaderCommands, StatusWithACardKeepsItsResetAnswer) {
  reader.Insert(0, Card(kUserAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  char c = 0;
  EXPECT_EQ(GetReaderStatus(0, &c), 0);
  EXPECT_EQ(c, '2');
  ASSERT_EQ(ResetAnswerLength, static_cast<int>(kUserAtr.size()));
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + kUserAtr.size()), kUserAtr);
  EXPECT_EQ(ResetAnswer[kUserAtr.size()], 0);
  EXPECT_EQ(reader.Commands().back(), kPowerOnContact);
}

TEST_F(ReaderCommands, StatusWithoutACardIsNoFailure) {
  reader.Insert(0, Card(kUserAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  char c = 0;
  ASSERT_EQ(GetReaderStatus(0, &c), 0);

  reader.Remove(0);
  c = 'x';
  EXPECT_EQ(GetReaderStatus(0, &c), 0);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(Text(), "接触式用户卡未插到位");
  // The count of the earlier answer stays, its bytes do not.
  EXPECT_EQ(ResetAnswerLength, static_cast<int>(kUserAtr.size()));
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + kResetAnswerSize), Bytes(kResetAnswerSize, 0));
}

TEST_F(ReaderCommands, StatusOfAMissingPsam) {
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  nIFDType = 16;
  char c = 'x';
  EXPECT_EQ(GetReaderStatus(0, &c), -5);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(Text(), "未插入SAM卡");
  EXPECT_EQ(reader.Commands().back(), (Bytes{0x32, 0x22, 0x00, 0x00, 0x10}));
}

TEST_F(ReaderCommands, StatusWithAnEmptyResetAnswer) {
  reader.Insert(0, Card(kUserAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  reader.faults().replyData = Bytes{};
  char c = 'x';
  EXPECT_EQ(GetReaderStatus(0, &c), -2);
  EXPECT_EQ(c, '0');
  EXPECT_STREQ(ErrorText, "");
}

TEST_F(ReaderCommands, ResetAnswerLongerThanItsStoreIsRefused) {
  reader.Insert(0, Card(kUserAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  char c = 0;
  ASSERT_EQ(GetReaderStatus(0, &c), 0);

  reader.faults().replyData = Bytes(kResetAnswerSize + 1, 0x3B);
  EXPECT_EQ(GetReaderStatus(0, &c), -4);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(ResetAnswerLength, static_cast<int>(kUserAtr.size()));
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + kResetAnswerSize), Bytes(kResetAnswerSize, 0));

  reader.faults().replyData = Bytes(kResetAnswerSize, 0x3B);
  EXPECT_EQ(GetReaderStatus(0, &c), 0);
  EXPECT_EQ(ResetAnswerLength, kResetAnswerSize);
}

TEST_F(ReaderCommands, ReaderErrorStatusIsReturned) {
  reader.Insert(0, Card(kUserAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  reader.faults().status = 0x1001;
  char c = 'x';
  EXPECT_EQ(GetReaderStatus(0, &c), -13);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(Text(), "不支持接触式用户卡");
}

// ---------------------------------------------------------------- power off, info, PSAM

TEST_F(ReaderCommands, PowerOffReleasesTheSelectedSlotAndTheLink) {
  reader.Insert(16, Card(kPsamAtr));
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  nIFDType = 16;
  EXPECT_EQ(KXReaderPowerOff(0), 0);
  EXPECT_EQ(reader.Commands().back(), (Bytes{0x32, 0x23, 0x10}));
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_EQ(backend.Writes(1).back(), kStop);
  // Nothing open: still 0.
  EXPECT_EQ(KXReaderPowerOff(0), 0);
}

TEST_F(ReaderCommands, ReaderInfoWithoutAReader) {
  char model[16], version[24];
  std::memset(model, 'x', sizeof model);
  std::memset(version, 'x', sizeof version);
  EXPECT_EQ(GetReaderInfo(0, model, version), 0);
  EXPECT_EQ(std::string(model, 9), std::string("TXR-7700\0", 9));
  EXPECT_EQ(std::string(version, 15), std::string("20111201040014\0", 15));
  EXPECT_EQ(model[9], 'x');
  EXPECT_EQ(version[15], 'x');
  EXPECT_EQ(backend.OpenCount(1), 0);
}

TEST_F(ReaderCommands, CheckPsamOutcomes) {
  ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  EXPECT_EQ(CheckPsam(), -5);
  reader.Insert(16, Card(kPsamAtr));
  EXPECT_EQ(CheckPsam(), 0);
  reader.faults().replyData = Bytes{};
  EXPECT_EQ(CheckPsam(), -2);
  // The PSAM's answer never lands in the user card's store.
  EXPECT_EQ(ResetAnswerLength, 0);
}

// ---------------------------------------------------------------- the search

TEST_F(ReaderCommands, SearchFindsTheCardOnTheRememberedPort) {
  reader.Insert(0, Card(kUserAtr));
  EXPECT_EQ(ConnectUserCard(&foundPort), 0);
  EXPECT_EQ(foundPort, 1);
  EXPECT_TRUE(backend.IsOpen(1));  // left open for the work that follows
  ASSERT_EQ(backend.Writes(1).size(), 2u);
  EXPECT_EQ(backend.Writes(1)[0], kStart);
  EXPECT_EQ(reader.Commands(), std::vector<Bytes>{kPowerOnContact});
  EXPECT_EQ(ResetAnswerLength, static_cast<int>(kUserAtr.size()));
  EXPECT_EQ(backend.Line(1).baud, 9600);
}

TEST_F(ReaderCommands, SearchWithoutCardOnTheRememberedPort) {
  EXPECT_EQ(ConnectUserCard(&foundPort), -6);
  EXPECT_EQ(Text(), "未插入用户卡");
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_EQ(backend.OpenCount(1), 1);
}

TEST_F(ReaderCommands, ScanStopsAtTheFirstAnsweringPortEvenWithoutACard) {
  ComPortNumber = 50;
  sim::Reader third;
  third.Insert(0, Card(kUserAtr));
  backend.Attach(3, &third);

  EXPECT_EQ(ConnectUserCard(&foundPort), -6);
  EXPECT_EQ(Text(), "接触式用户卡未插到位");
  EXPECT_EQ(backend.OpenCount(3), 0);
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_EQ(ComPortNumber, 50);
}

TEST_F(ReaderCommands, ScanPassesOverSilentAndFailingReaders) {
  reader.faults().silent = true;  // COM1 costs a full power-on time-out, twice
  sim::Reader second, fourth;
  second.faults().status = 0x1001;  // answers, but the query fails
  fourth.Insert(0, Card(kUserAtr));
  backend.Attach(2, &second);
  backend.Attach(4, &fourth);

  const std::uint32_t before = backend.Now();
  EXPECT_EQ(ConnectUserCard(&foundPort), 0);
  EXPECT_EQ(ComPortNumber, 4);
  EXPECT_TRUE(backend.IsOpen(4));
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(backend.IsOpen(2));
  EXPECT_EQ(backend.OpenCount(1), 2);  // remembered port, then again in the scan
  EXPECT_EQ(backend.Writes(2).front(), kStart);
  EXPECT_EQ(backend.Writes(4).front(), kStart);
  const std::uint32_t spent = backend.Now() - before;
  EXPECT_GT(spent, 4000u);
  EXPECT_LT(spent, 4100u);

  // The next search goes straight to COM4.
  ReaderPort.Close();
  backend.ClearWrites();
  EXPECT_EQ(ConnectUserCard(&foundPort), 0);
  EXPECT_EQ(backend.OpenCount(1), 2);
  EXPECT_EQ(Frames(4).size(), 1u);
}

TEST_F(ReaderCommands, NothingAnswersAnywhere) {
  backend.Detach(1);
  const std::uint32_t before = backend.Now();
  EXPECT_EQ(ConnectUserCard(&foundPort), -2);
  EXPECT_EQ(Text(), "没有找到设备");
  EXPECT_LT(backend.Now() - before, 100u);
  EXPECT_EQ(ComPortNumber, 1);
}

TEST_F(ReaderCommands, ScanLeavesNoPortOpenWhenNothingAnswers) {
  reader.faults().silent = true;
  sim::Reader last;
  last.faults().silent = true;
  backend.Attach(99, &last);
  EXPECT_EQ(ConnectUserCard(&foundPort), -2);
  EXPECT_EQ(Text(), "没有找到设备");
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_FALSE(backend.IsOpen(99));
  EXPECT_EQ(backend.OpenCount(99), 1);  // the last port the scan tries
}

TEST_F(ReaderCommands, DisconnectPowersBothCardsOffAndCloses) {
  reader.Insert(0, Card(kUserAtr));
  reader.Insert(16, Card(kPsamAtr));
  ASSERT_EQ(ConnectUserCard(&foundPort), 0);
  reader.ClearTrace();
  DisconnectUserCard(foundPort);
  const std::vector<Bytes> expected = {{0x32, 0x23, 0x00}, {0x32, 0x23, 0x10}};
  EXPECT_EQ(reader.Commands(), expected);
  EXPECT_FALSE(backend.IsOpen(1));
  EXPECT_EQ(backend.Writes(1).back(), kStop);
}

}  // namespace
}  // namespace kx
