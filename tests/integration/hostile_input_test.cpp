// Devices that answer what no good device would, and callers that pass what
// no careful caller would, through the C ABI: every result is a failure code
// or a success that is true, and no write leaves the size the header states.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "card/apdu.h"
#include "core/messages.h"
#include "core/state.h"
#include "link/reader_port.h"
#include "reader/frame.h"
#include "tests/integration/card_fixture.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Gbk;
using test::HexBytes;
using test::ScriptedCard;

// A caller's buffer of exactly `size` bytes followed by a guard the library
// must never touch.
class Guarded {
 public:
  explicit Guarded(int size) : size_(size), bytes_(static_cast<std::size_t>(size) + kGuard, 0xEE) {}
  unsigned char* bytes() { return bytes_.data(); }
  char* text() { return reinterpret_cast<char*>(bytes_.data()); }
  bool GuardIntact() const {
    for (std::size_t i = static_cast<std::size_t>(size_); i < bytes_.size(); ++i) {
      if (bytes_[i] != 0xEE) return false;
    }
    return true;
  }
  bool Untouched() const {
    for (unsigned char b : bytes_) {
      if (b != 0xEE) return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kGuard = 64;
  int size_;
  std::vector<unsigned char> bytes_;
};

Bytes Filled(std::size_t n, std::uint8_t value, const std::string& sw = "90 00") {
  Bytes b(n, value);
  const Bytes tail = HexBytes(sw);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

class HostileInput : public test::CardFixture {
 protected:
  void InsertPsam(std::shared_ptr<ScriptedCard> psam) { reader.Insert(16, std::move(psam)); }
};

// ---------------------------------------------------------------- records

TEST_F(HostileInput, ReadRecordNeverWritesMoreThanLe) {
  struct Case {
    int le;
    std::vector<std::pair<std::string, Bytes>> steps;
    int code;
    int copied;  // bytes expected in the buffer on success
  };
  const Case cases[] = {
      {5, {{"00 B2 01 04 05", Filled(100, 0x41)}}, -12, 0},
      {5, {{"00 B2 01 04 05", HexBytes("6C 64")}, {"00 B2 01 04 64", Filled(100, 0x42)}}, -12, 0},
      {0, {{"00 B2 01 04 00", Filled(257, 0x43)}}, -12, 0},
      {0, {{"00 B2 01 04 00", Filled(256, 0x44)}}, 0, 256},
      {5, {{"00 B2 01 04 05", Filled(5, 0x45)}}, 0, 5},
      {5, {{"00 B2 01 04 05", Filled(3, 0x46)}}, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "le " << c.le << ", reply " << c.steps.back().second.size());
    for (const auto& [apdu, reply] : c.steps) card->Expect(HexBytes(apdu), reply);
    std::strcpy(LastRecordHex, "AABB");
    Guarded data(c.le == 0 ? 256 : c.le);
    EXPECT_EQ(KXReadRecord(0, 1, 4, c.le, data.bytes()), c.code);
    EXPECT_TRUE(data.GuardIntact());
    if (c.code != 0) {
      EXPECT_TRUE(data.Untouched());
      EXPECT_STREQ(LastRecordHex, "AABB");
    } else {
      EXPECT_EQ(std::strlen(LastRecordHex), static_cast<std::size_t>(2 * std::min(c.copied, 127)));
    }
  }
  EXPECT_EQ(card->Problems(), "");
}

// ---------------------------------------------------------------- sizes in the header

TEST_F(HostileInput, OutputBuffersOfTheStatedSizesHoldTheLongestReplies) {
  // The longest APDU reply one frame carries, through both exchange exports.
  card->Expect(HexBytes("00 B0 00 00 00"), Filled(293, 0xC3))
      .Expect(HexBytes("00 B0 00 00 00"), Filled(293, 0xC4));
  Guarded reply(KX_APDU_REPLY_SIZE);
  int replyLength = 0;
  const std::uint8_t readBinary[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  EXPECT_EQ(KXRunApdu(0, 5, readBinary, &replyLength, reply.bytes()), 0);
  EXPECT_EQ(replyLength, KX_APDU_REPLY_SIZE);
  EXPECT_TRUE(reply.GuardIntact());
  Guarded hexReply(KX_APDU_HEX_REPLY_SIZE);
  EXPECT_EQ(KXRunApduTest(0, 10, "00B0000000", hexReply.text()), KX_APDU_HEX_REPLY_SIZE - 1);
  EXPECT_TRUE(hexReply.GuardIntact());

  // The longest reset answer, of the user card and of the PSAM.
  card->SetAtr(Bytes(100, 0x3B));
  Guarded atr(KX_RESET_ANSWER_HEX_SIZE);
  EXPECT_EQ(KXCpuReset(0, atr.text()), 0);
  EXPECT_EQ(std::strlen(atr.text()), static_cast<std::size_t>(KX_RESET_ANSWER_HEX_SIZE - 1));
  EXPECT_TRUE(atr.GuardIntact());
  auto psam = std::make_shared<ScriptedCard>(Bytes(100, 0x3B));
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect(HexBytes("00 B0 00 00 06"), Filled(280, 1));
  InsertPsam(psam);
  Guarded id(KX_PSAM_ID_SIZE), psamAtr(KX_RESET_ANSWER_HEX_SIZE);
  EXPECT_EQ(KXGetPsamIDATR(0, id.text(), psamAtr.text()), 0);
  EXPECT_STREQ(id.text(), "010101010101");
  EXPECT_TRUE(id.GuardIntact());
  EXPECT_TRUE(psamAtr.GuardIntact());

  // The longest message: a formatted line and a full ErrorText.
  ErrorTextReplace(std::string(600, 'e').c_str());
  for (int code : {-12, -0x6988, -0x63C3, -0x7FFFFFFF - 1, -0xFFFF}) {
    Guarded message(KX_ERR_MESSAGE_SIZE);
    KXGetErrMessage(code, message.text());
    EXPECT_TRUE(message.GuardIntact()) << code;
  }
}

TEST_F(HostileInput, RepliesLongerThanTheStatedSizesAreRefused) {
  // One data byte more than a frame carries.
  reader.faults().replyData = Bytes(KX_APDU_REPLY_SIZE + 1, 0x90);
  reader.faults().onlyCommand = 0x26;
  Guarded reply(KX_APDU_REPLY_SIZE);
  int replyLength = -1;
  const std::uint8_t apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  EXPECT_EQ(KXRunApdu(0, 5, apdu, &replyLength, reply.bytes()), -4);
  EXPECT_EQ(replyLength, -1);
  Guarded hexReply(KX_APDU_HEX_REPLY_SIZE);
  EXPECT_EQ(KXRunApduTest(0, 10, "00B0000000", hexReply.text()), -4);
  EXPECT_TRUE(hexReply.Untouched());
  reader.ClearFaults();

  // One reset answer byte more than the store holds.
  card->SetAtr(Bytes(101, 0x3B));
  Guarded atr(KX_RESET_ANSWER_HEX_SIZE);
  EXPECT_EQ(KXCpuReset(0, atr.text()), -4);
  EXPECT_TRUE(atr.Untouched());
}

// ---------------------------------------------------------------- status word 00 00

TEST_F(HostileInput, StatusWordZeroIsNoSuccess) {
  struct Case {
    const char* name;
    int (*run)();
  };
  const Case cases[] = {
      {"KXRunApdu",
       [] {
         const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
         std::uint8_t reply[KX_APDU_REPLY_SIZE];
         int length = 0;
         return KXRunApdu(0, 5, apdu, &length, reply);
       }},
      {"KXRunApduTest",
       [] {
         char hex[KX_APDU_HEX_REPLY_SIZE];
         return KXRunApduTest(0, 10, "0084000008", hex);
       }},
      {"KXReadRecord",
       [] {
         std::uint8_t data[256];
         return KXReadRecord(0, 1, 4, 0, data);
       }},
  };
  for (const char* sw : {"00 00", "00 0C", "11 22 00 00", "00 02"}) {
    for (const Case& c : cases) {
      card->ExpectAny(HexBytes(sw));
      EXPECT_EQ(c.run(), -4) << c.name << " with " << sw;
    }
  }
  // A status word 00 00 after GET RESPONSE is no success either.
  card->Expect("00 84 00 00 08", "61 08").Expect("00 C0 00 00 08", "00 00");
  char hex[KX_APDU_HEX_REPLY_SIZE];
  EXPECT_EQ(KXRunApduTest(0, 10, "0084000008", hex), -4);
  EXPECT_EQ(card->Problems(), "");
}

// ---------------------------------------------------------------- frames

TEST_F(HostileInput, FrameWithAnythingButDigitsIsBad) {
  // Each one decoded to 12 12 with a matching check before non-digits were
  // refused (the space and '@' fold into 00, the odd digit was dropped).
  const std::string frames[] = {
      "0006000012123 456700",
      "000400001212@0",
      "000400001212000",
      std::string("000400001212\0"
                  "00",
                  15),
      "00040000121200G0",
  };
  for (const std::string& digits : frames) {
    Bytes raw{0x02};
    raw.insert(raw.end(), digits.begin(), digits.end());
    raw.push_back(0x03);
    reader.faults().rawReply = raw;
    const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x04};
    Guarded reply(KX_APDU_REPLY_SIZE);
    int length = -1;
    EXPECT_EQ(KXRunApdu(0, 5, apdu, &length, reply.bytes()), -4) << digits;
    EXPECT_EQ(std::string(ErrorText), Gbk("通信校验错误")) << digits;
    EXPECT_EQ(length, -1);
  }
}

TEST_F(HostileInput, AnythingBeforeStxIsIgnoredNulIncluded) {
  const std::string good = "00040000900090";
  const Bytes noise[] = {{0x00}, {0x00, 0x00, 0x41}, {0x03, 0x30}, {0x03, 0x00, 0x03}};
  for (const Bytes& before : noise) {
    Bytes raw = before;
    raw.push_back(0x02);
    raw.insert(raw.end(), good.begin(), good.end());
    raw.push_back(0x03);
    reader.faults().rawReply = raw;
    const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x04};
    std::uint8_t reply[KX_APDU_REPLY_SIZE];
    int length = 0;
    EXPECT_EQ(KXRunApdu(0, 5, apdu, &length, reply), 0) << test::HexText(before);
    EXPECT_EQ(length, 2);
  }
}

// ---------------------------------------------------------------- command texts

TEST_F(HostileInput, CommandTextThatIsNotHexPairsIsRefusedUnsent) {
  for (const char* text : {"00A4GGzz02", "00A400000", "00 A4 00 00 0", "0084:00008",
                           "0084000008\x01", "00-84-00-00-08"}) {
    char hex[KX_APDU_HEX_REPLY_SIZE] = "untouched";
    ErrorTextClear();
    EXPECT_EQ(KXRunApduTest(0, static_cast<int>(std::strlen(text)), text, hex), -12) << text;
    EXPECT_STREQ(hex, "untouched");
    EXPECT_EQ(std::string(ErrorText), Gbk("capdu 格式错误")) << text;
  }
  // The counted characters end in half a pair, whatever follows them.
  char hex[KX_APDU_HEX_REPLY_SIZE] = "untouched";
  EXPECT_EQ(KXRunApduTest(0, 9, "0084000008", hex), -12);
  EXPECT_TRUE(reader.ApdusTo(0).empty());

  // GetASC keeps its documented result for hosts that call it directly.
  unsigned char bytes[8] = {};
  EXPECT_EQ(GetASC("00A4GGzz02", bytes, 10), 5);
  EXPECT_EQ(GetASC("0 1", bytes, 3), -1);
}

// ---------------------------------------------------------------- PSAM id, start sequence

TEST_F(HostileInput, PsamIdShorterThanSixBytesIsRefused) {
  for (const char* answer : {"90 00", "01 02 03 90 00", "01 02 03 04 05 90 00"}) {
    auto psam = std::make_shared<ScriptedCard>(HexBytes("3B 02 14 50"));
    psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", answer);
    InsertPsam(psam);
    Guarded id(KX_PSAM_ID_SIZE);
    EXPECT_EQ(KXGetPsamID(0, id.text()), -4) << answer;
    EXPECT_EQ(std::string(ErrorText), Gbk("KXGetPsamID 获取PSAM卡终端信息唯一标识号失败"));
    EXPECT_EQ(nIFDType, 16);
    EXPECT_TRUE(id.GuardIntact());
  }
}

TEST_F(HostileInput, InitFailsWhenTheStartSequenceCannotBeWritten) {
  KXReaderPowerOff(0);
  backend.StallWrites(1, true);
  EXPECT_EQ(KXReaderInitTest(1, 9600), -2);
  EXPECT_EQ(std::string(ErrorText), Gbk("发送数据失败"));
  EXPECT_EQ(ComPortNumber, 1);
  EXPECT_FALSE(backend.IsOpen(1));
  int params[2] = {1, 9600};
  unsigned int handle = 0x5A5A;
  EXPECT_EQ(KXReaderInit(params, &handle), -2);
  EXPECT_EQ(handle, 0x5A5Au);

  backend.StallWrites(1, false);
  EXPECT_EQ(KXReaderInitTest(1, 9600), 0);
  EXPECT_TRUE(backend.IsOpen(1));
}

}  // namespace
}  // namespace kx
