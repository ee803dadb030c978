// Reader frames on the wire: what the library sends, and how it takes the
// reader's replies, good and bad.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
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

const Bytes kAtr = {0x3B, 0x6C, 0x00, 0x00, 0x81, 0x01, 0x86, 0x02,
                    0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

// The reply's length on success, else the failure code.
int TransmitLength(int slot, const std::uint8_t* apdu, int n, std::uint8_t* reply, int capacity) {
  int length = 0;
  const int r = TransmitApdu(slot, apdu, n, n, reply, capacity, &length);
  return r != 0 ? r : length;
}

int PowerOnLength(int slot, std::uint8_t* answer, int capacity) {
  int length = 0;
  const int r = PowerOnSlot(slot, answer, capacity, &length);
  return r != 0 ? r : length;
}

Bytes Frame(const std::string& digits) {
  Bytes frame(digits.size() + 2);
  frame.front() = 0x02;
  std::copy(digits.begin(), digits.end(), frame.begin() + 1);
  frame.back() = 0x03;
  return frame;
}

class ReaderFrames : public test::SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    reader.Insert(0, std::make_shared<sim::FixedStatusCard>(kAtr));
    reader.Insert(16, std::make_shared<sim::FixedStatusCard>(Bytes{0x3B, 0x02, 0x14, 0x50}));
    int params[2] = {1, 9600};
    unsigned int handle = 0;
    ASSERT_EQ(KXReaderInit(params, &handle), 0);
    std::uint8_t atr[kResetAnswerSize];
    ASSERT_GT(PowerOnLength(0, atr, sizeof atr), 0);
    backend.ClearWrites();
    reader.ClearTrace();
  }

  // Status query through the C ABI on the contact slot.
  int Status(char* c) {
    nIFDType = 0;
    return GetReaderStatus(0, c);
  }

  std::string Text() const { return Utf8(ErrorText); }
};

// ---------------------------------------------------------------- sending

TEST_F(ReaderFrames, PowerOnFrameIsEighteenBytesOfFrameDigits) {
  char c = 0;
  ASSERT_EQ(Status(&c), 0);
  const auto& writes = backend.Writes(1);
  ASSERT_EQ(writes.size(), 1u);
  const Bytes expected = {0x02, '0', '0', '0', '5', '3', '2', '2', '2',
                          '0',  '0', '0', '0', '0', '0', '1', '0', 0x03};
  EXPECT_EQ(writes[0], expected);
}

TEST_F(ReaderFrames, NibblesAboveNineUseColonToQuestionMark) {
  const std::uint8_t apdu[] = {0xAB, 0xCD, 0xEF};
  std::uint8_t reply[kMaxReplyData];
  ASSERT_EQ(TransmitLength(0, apdu, 3, reply, sizeof reply), 2);
  ASSERT_EQ(backend.Writes(1).size(), 1u);
  // 00 06 | 32 26 00 AB CD EF | check 9D
  EXPECT_EQ(backend.Writes(1)[0], Frame("0006322600:;<=>?9="));
}

TEST_F(ReaderFrames, CommandBodiesPerSlot) {
  std::uint8_t atr[kResetAnswerSize];
  PowerOnLength(255, atr, sizeof atr);
  PowerOffSlot(255);
  PowerOffSlot(16);
  PowerOnLength(17, atr, sizeof atr);
  const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  std::uint8_t reply[kMaxReplyData];
  TransmitLength(255, apdu, 5, reply, sizeof reply);

  const std::vector<Bytes> expected = {
      {0x32, 0x24, 0x00, 0x00},
      {0x32, 0x25, 0x00, 0x00},
      {0x32, 0x23, 0x10},
      {0x32, 0x22, 0x00, 0x00, 0x11},
      {0x32, 0x26, 0xFF, 0x00, 0x84, 0x00, 0x00, 0x08},
  };
  EXPECT_EQ(reader.Commands(), expected) << reader.TraceText();
}

TEST_F(ReaderFrames, LargestApduGoesOutAndLargerIsRefusedUnsent) {
  std::vector<std::uint8_t> apdu(kMaxFrameBody - 3, 0x00);
  apdu[0] = 0x00;
  apdu[1] = 0xD6;
  std::uint8_t reply[kMaxReplyData];
  TransmitLength(0, apdu.data(), static_cast<int>(apdu.size()), reply, sizeof reply);
  ASSERT_EQ(backend.Writes(1).size(), 1u);
  EXPECT_EQ(backend.Writes(1)[0].size(), 2u * kMaxFrameBody + 8);

  backend.ClearWrites();
  apdu.push_back(0x00);
  EXPECT_EQ(TransmitLength(0, apdu.data(), static_cast<int>(apdu.size()), reply, sizeof reply), -2);
  EXPECT_EQ(Text(), "发送数据失败");
  EXPECT_TRUE(backend.Writes(1).empty());
}

TEST_F(ReaderFrames, ShortWriteIsAFailedSend) {
  backend.StallWrites(1, true);
  char c = 0;
  EXPECT_EQ(Status(&c), -2);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(Text(), "发送数据失败");
}

TEST_F(ReaderFrames, NothingOpenMeansNoSend) {
  KXReaderPowerOff(0);  // the serial side, closed
  char c = 0;
  EXPECT_EQ(Status(&c), -2);
  EXPECT_EQ(Text(), "发送数据失败");
  ResetLibraryForTests();  // the load-time state: the HID side without a device
  platform::SetBackend(&backend);
  ErrorTextClear();
  EXPECT_EQ(Status(&c), -2);
  EXPECT_EQ(Text(), "发送数据失败");
}

// ---------------------------------------------------------------- good replies

TEST_F(ReaderFrames, ReplyInLetterDigitsEitherCase) {
  // Every nibble: both ends of each letter range come over the line.
  const Bytes data = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  for (bool lower : {false, true}) {
    reader.faults().letterDigits = true;
    reader.faults().lowerCaseLetters = lower;
    char c = 0;
    ResetAnswerLength = 0;
    ASSERT_EQ(Status(&c), 0) << Text();
    EXPECT_EQ(c, '2');
    ASSERT_EQ(ResetAnswerLength, static_cast<int>(kAtr.size()));
    EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + kAtr.size()), kAtr);
    reader.faults().replyData = data;
    std::uint8_t reply[16] = {};
    const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x08};
    ASSERT_EQ(TransmitLength(0, apdu, sizeof apdu, reply, sizeof reply), 8) << Text();
    EXPECT_EQ(Bytes(reply, reply + 8), data);
    reader.faults().replyData.reset();
  }
}

TEST_F(ReaderFrames, GarbageBeforeStxAndBytesAfterEtxAreIgnored) {
  reader.faults().garbageBeforeStx = {0xFF, 0x41, 0x30, 0x3A, 0x7F};
  reader.faults().trailingBytes = {0x30, 0x31};
  char c = 0;
  ASSERT_EQ(Status(&c), 0) << Text();
  EXPECT_EQ(c, '2');
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + kAtr.size()), kAtr);
}

TEST_F(ReaderFrames, ReplySplitIntoChunksIsGathered) {
  reader.faults().splitInto = 4;
  reader.faults().splitGapMs = 50;
  char c = 0;
  ASSERT_EQ(Status(&c), 0) << Text();
  EXPECT_EQ(ResetAnswerLength, static_cast<int>(kAtr.size()));
}

TEST_F(ReaderFrames, SuccessfulReplyClearsTheErrorText) {
  ErrorTextReplace("left over");
  std::uint8_t reply[kMaxReplyData];
  const std::uint8_t apdu[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply, sizeof reply), 2);
  EXPECT_EQ(reply[0], 0x90);
  EXPECT_EQ(reply[1], 0x00);
  EXPECT_STREQ(ErrorText, "");
}

TEST_F(ReaderFrames, ReplyOfExactlyTheLargestSizeIsTaken) {
  Bytes data(kMaxReplyData);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  reader.faults().replyData = data;
  std::vector<std::uint8_t> reply(kMaxReplyData);
  const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  ASSERT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), kMaxReplyData), kMaxReplyData)
      << Text();
  EXPECT_EQ(Bytes(reply.begin(), reply.end()), data);
}

// ---------------------------------------------------------------- bad replies

TEST_F(ReaderFrames, WrongCheckByteWinsOverAnErrorStatus) {
  reader.faults().badCheck = true;
  reader.faults().status = 0x2005;
  char c = 0;
  EXPECT_EQ(Status(&c), -4);
  EXPECT_EQ(c, '0');
  EXPECT_EQ(Text(), "通信校验错误");
}

TEST_F(ReaderFrames, MoreThanThreeHundredDecodedBytesIsRefusedSilently) {
  reader.faults().replyData = Bytes(kMaxReplyData + 1, 0x5A);
  ErrorTextReplace("left over");
  std::vector<std::uint8_t> reply(1024, 0xEE);
  const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), 1024), -4);
  EXPECT_STREQ(ErrorText, "");
  EXPECT_EQ(reply[0], 0xEE);
}

TEST_F(ReaderFrames, ReplyWithoutFrameDelimiters) {
  struct Case {
    Bytes raw;
    const char* text;
  };
  const Case cases[] = {
      {{'0', '0', '0', '2', '0', '0', '0', '0', '0', '0', 0x03},
       "获取接收的中间数据失败，返回：-1"},
      {{0x02, '0', '0', '0', '2', '0', '0', '0', '0', '0', '0'},
       "获取接收的中间数据失败，返回：-2"},
      {{0x02, 0x03}, "获取接收的中间数据失败，返回：0"},
      // An ETX ahead of STX is noise: the frame still has no end.
      {{0x03, '1', '2', 0x02, '0', '0'}, "获取接收的中间数据失败，返回：-2"},
  };
  for (const Case& k : cases) {
    reader.faults().rawReply = k.raw;
    char c = 0;
    EXPECT_EQ(Status(&c), -4) << k.text;
    EXPECT_EQ(Text(), k.text);
  }
}

TEST_F(ReaderFrames, BlockTooShortToHoldLengthStatusAndCheck) {
  // Four bytes 00 02 00 00: the last byte would "check" the status alone.
  for (const std::string& digits :
       {std::string("00020000"), std::string("0"), std::string("000200"), std::string("0002000")}) {
    reader.faults().rawReply = Frame(digits);
    char c = 0;
    EXPECT_EQ(Status(&c), -4) << digits;
    EXPECT_EQ(Text(), "通信校验错误") << digits;
  }
}

TEST_F(ReaderFrames, LengthFieldThatDisagreesWithTheFrame) {
  std::vector<std::uint8_t> reply(kMaxReplyData, 0xEE);
  const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x04};
  reader.faults().replyData = Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00};

  // Below 2 there is not even room for the status.
  for (int length : {0, 1}) {
    reader.faults().lengthField = length;
    EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), kMaxReplyData), -4) << length;
    EXPECT_EQ(Text(), "通信校验错误");
  }
  // More data promised than carried: nothing is invented.
  for (int length : {9, 300, 0xFFFF}) {
    reader.faults().lengthField = length;
    EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), kMaxReplyData), -4) << length;
    EXPECT_EQ(Text(), "通信校验错误");
  }
  EXPECT_EQ(reply[0], 0xEE);
  // Fewer promised than carried: the length field is believed.
  reader.faults().lengthField = 2 + 4;
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), kMaxReplyData), 4);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
  reader.faults().lengthField = 2;
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply.data(), kMaxReplyData), 0);
}

TEST_F(ReaderFrames, ReplyLongerThanTheCallersBufferIsRefused) {
  reader.faults().replyData = Bytes(40, 0x77);
  std::uint8_t reply[48];
  std::memset(reply, 0xEE, sizeof reply);
  const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x28};
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply, 39), -4);
  EXPECT_STREQ(ErrorText, "");
  EXPECT_EQ(reply[0], 0xEE);
  EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply, 40), 40);
  EXPECT_EQ(reply[39], 0x77);
  EXPECT_EQ(reply[40], 0xEE);
}

// ---------------------------------------------------------------- reader statuses

TEST_F(ReaderFrames, EveryReaderStatusWithItsCodeAndMessage) {
  struct Row {
    int status;
    int code;  // what an APDU transport returns
    const char* text;
  };
  const Row rows[] = {
      {0x0000, 0, ""},
      {0x1001, -13, "不支持接触式用户卡"},
      {0x1002, -6, "接触式用户卡未插到位"},
      {0x1003, 0, "接触式用户卡已上电"},
      {0x1004, -7, "接触式用户卡未上电"},
      {0x2005, -5, "未插入SAM卡"},
      {0x3001, -13, "不支持非接触用户卡"},
      {0x3004, -7, "非接触式用户卡未激活"},
      {0x3005, -7, "非接触用户卡激活失败"},
      {0x3006, -7, "等待卡进入感应区超时,或操作非接触式用户卡数据无回应"},
      {0x6A82, -1, ""},
      {0x0E01, -1, ""},
  };
  const std::uint8_t apdu[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  for (const Row& row : rows) {
    reader.faults().status = row.status;
    ErrorTextReplace("left over");
    std::uint8_t reply[kMaxReplyData];
    EXPECT_EQ(TransmitLength(0, apdu, sizeof apdu, reply, sizeof reply), row.code)
        << std::hex << row.status;
    EXPECT_EQ(Text(), row.text) << std::hex << row.status;
  }
}

TEST_F(ReaderFrames, AlreadyPoweredStatusKeepsTheDataAndItsMessage) {
  reader.faults().status = 0x1003;
  reader.faults().replyData = kAtr;
  char c = 0;
  ASSERT_EQ(Status(&c), 0);
  EXPECT_EQ(c, '2');
  EXPECT_EQ(ResetAnswerLength, static_cast<int>(kAtr.size()));
  EXPECT_EQ(Text(), "接触式用户卡已上电");
}

// ---------------------------------------------------------------- time

TEST_F(ReaderFrames, SilentReaderFailsAfterExactlyTheTimeOut) {
  reader.faults().silent = true;
  struct Step {
    int seconds;
    int (*run)();
  };
  const Step steps[] = {
      {2,
       [] {
         char c;
         return GetReaderStatus(0, &c);
       }},
      {3, [] { return PowerOffSlot(0); }},
      {5,
       [] {
         const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
         std::uint8_t reply[kMaxReplyData];
         return TransmitLength(0, apdu, sizeof apdu, reply, sizeof reply);
       }},
  };
  for (const Step& step : steps) {
    const std::uint32_t before = backend.Now();
    EXPECT_EQ(step.run(), -4) << step.seconds;
    const std::uint32_t spent = backend.Now() - before;
    EXPECT_GT(spent, step.seconds * 1000u);
    EXPECT_LE(spent, step.seconds * 1000u + 10);
    EXPECT_EQ(Text(), "接收数据失败，返回：-4");
  }
}

TEST_F(ReaderFrames, SlowReplyWithinTheTimeOutIsTaken) {
  reader.faults().delayMs = 1900;
  char c = 0;
  EXPECT_EQ(Status(&c), 0) << Text();
  EXPECT_EQ(c, '2');
  reader.faults().delayMs = 2100;
  EXPECT_EQ(Status(&c), -4);
  EXPECT_EQ(c, '0');
}

TEST_F(ReaderFrames, EscapeAbortsTheWait) {
  reader.faults().silent = true;
  backend.PressEscapeAt(backend.Now() + 300);
  const std::uint32_t before = backend.Now();
  char c = 0;
  EXPECT_EQ(Status(&c), -4);
  EXPECT_LT(backend.Now() - before, 400u);
  EXPECT_EQ(Text(), "接收数据失败，返回：-4");
}

}  // namespace
}  // namespace kx
