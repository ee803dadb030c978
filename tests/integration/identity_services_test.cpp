// The card identity exports through the C ABI, against the simulated card
// and PSAM: the identity read, the rewrite of the identification code with
// the PSAM's check bytes (checked by the simulator's own computation), each
// step's failure with its words and the link closed, and the identity
// exports' own reader search.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "sim/keys.h"
#include "sim/personalise.h"
#include "tests/integration/services_fixture.h"

namespace kx {
namespace {

using test::Join;
using test::Lines;

constexpr char kCode[] = "330329D15600000500006074BD3D5A3F";
const Lines kIdentityReads = {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 EF 05",
                              "0> 00 B2 01 04 FF", "0> 00 B2 07 04 FF", "0> 00 B2 04 04 FF"};

// The three outputs, each filled with a sentinel past what the call may write.
struct Outputs {
  char cardNumber[16];
  char code[40];
  char organisation[32];
  Outputs() {
    std::memset(cardNumber, 0x55, sizeof cardNumber);
    std::memset(code, 0x55, sizeof code);
    std::memset(organisation, 0x55, sizeof organisation);
  }
  // What was written, terminator included, or "" when nothing was.
  static std::string Written(const char* out, std::size_t size) {
    if (static_cast<unsigned char>(out[0]) == 0x55) return "";
    EXPECT_EQ(static_cast<unsigned char>(out[size]), 0x55) << "wrote past " << size;
    return std::string(out, size);
  }
  std::string CardNumber() const { return Written(cardNumber, 10); }
  std::string Code() const { return Written(code, 33); }
  std::string Organisation() const { return Written(organisation, 25); }
};

class Identity : public test::ServicesFixture {
 protected:
  // The fault that makes the n-th APDU of a call answer `sw` (1 counts the first).
  void FailApdu(int n, sim::Bytes reply) {
    reader.faults().onlyCommand = 0x26;
    reader.faults().after = n - 1;
    reader.faults().remaining = 1;
    reader.faults().replyData = std::move(reply);
  }
  // The card's identification code record as it stands, as hex text.
  std::string CardCode() const { return Packed(Record(0x3F00, 0xEF05, 1)); }
  static std::string Packed(const sim::Bytes& bytes) {
    std::string text = test::HexText(bytes);
    std::erase(text, ' ');
    return text;
  }
};

TEST_F(Identity, ReadGivesTheThreeRecordsAndClosesTheLink) {
  struct Case {
    const char* name;
    std::function<int(Outputs&)> call;
    Lines expected;
  };
  const Case cases[] = {
      {"KXReadCardID",
       [](Outputs& o) { return KXReadCardID(0, o.cardNumber, o.code, o.organisation); },
       Join({{"ON 16"}, kIdentityReads, {"OFF 0"}})},
      {"KXReadCardIDAIO",
       [](Outputs& o) { return KXReadCardIDAIO(o.cardNumber, o.code, o.organisation); },
       Join({{"ON 0", "ON 16"}, kIdentityReads, {"OFF 0"}})},
  };
  for (const Case& c : cases) {
    Restart();
    if (std::string(c.name) == "KXReadCardID") OpenReader();
    Outputs out;
    ASSERT_EQ(c.call(out), 0) << c.name << ": " << Message(-12);
    EXPECT_EQ(Sequence(), c.expected) << c.name;
    EXPECT_EQ(out.Code(), std::string(kCode, 33)) << c.name;
    EXPECT_EQ(out.CardNumber(), std::string("K12345678", 10)) << c.name;
    EXPECT_EQ(out.Organisation(), std::string("330329100001000000000001", 25)) << c.name;
    EXPECT_FALSE(SerialPortOpen) << c.name;
    EXPECT_FALSE(reader.IsPowered(0)) << c.name;
  }
  // The longest reply a record read can have: its hex text has room.
  Restart();
  OpenReader();
  sim::Bytes longest(KX_APDU_REPLY_SIZE - 2, 0x3C);
  longest.insert(longest.end(), {0x90, 0x00});
  FailApdu(3, longest);
  Outputs out;
  ASSERT_EQ(KXReadCardID(0, out.cardNumber, out.code, out.organisation), 0) << Message(-12);
  EXPECT_EQ(out.Code().substr(0, 32), "3C3C3C3C3C3C3C3C3C3C3C3C3C3C3C3C");
}

// Every step's failure: its code, the failing command's text with the
// step's words behind it, what was written so far, and the link closed.
TEST_F(Identity, ReadFailuresKeepTheStepsWordsThroughTheClosing) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    const char* message;               // KXGetErrMessage for the code
    bool code1, number, organisation;  // outputs written
    std::string cardNumber = std::string("K12345678", 10);
  };
  const Case cases[] = {
      {"no PSAM", [this] { reader.Remove(16); }, -5, "SAM卡上电错误或未插入SAM卡", false, false,
       false},
      {"master file refused",
       [this] {
         FailApdu(1, {0x6A, 0x82});
       },
       -27266,
       "sw返回 6a82 未找到文件\r\n;KXReadCardIDAIO 选择主文件失败;KXReadCardIDAIO 选择主文件",
       false, false, false},
      {"EF05 missing",
       [this] {
         FailApdu(2, {0x6A, 0x82});
       },
       -27266, "sw返回 6a82 未找到文件\r\n;KXReadCardIDAIO ef05 错", false, false, false},
      {"record 1 lost on the line",
       [this] {
         reader.faults().onlyCommand = 0x26;
         reader.faults().after = 2;
         reader.faults().remaining = 1;
         reader.faults().badCheck = true;
       },
       -4, "通讯错误", false, false, false},
      {"record 7 refused",
       [this] {
         FailApdu(4, {0x6A, 0x83});
       },
       -27267, "sw返回 6a83 未找到记录或未找到pin\r\n;KXReadCardIDAIO 读卡号出错", true, false,
       false},
      {"record 4 refused",
       [this] {
         FailApdu(5, {0x69, 0x82});
       },
       -27010, "sw返回 6982 不满足安全状态 \r\n;KXReadCardIDAIO 读机构编号出错", true, true, false},
      // A short card number runs on into the status word and zeros.
      {"record 7 short",
       [this] {
         FailApdu(4, {0x07, 0x03, 'K', '1', '2', 0x90, 0x00});
       },
       0, "成功", true, true, true, std::string("K12\x90", 4) + std::string(6, '\0')},
  };
  for (const Case& c : cases) {
    Restart();
    OpenReader();
    c.arrange();
    Outputs out;
    EXPECT_EQ(KXReadCardID(0, out.cardNumber, out.code, out.organisation), c.code) << c.name;
    EXPECT_EQ(Message(c.code), c.message) << c.name;
    EXPECT_EQ(out.Code(), c.code1 ? std::string(kCode, 33) : "") << c.name;
    EXPECT_EQ(out.CardNumber(), c.number ? c.cardNumber : "") << c.name;
    EXPECT_EQ(out.Organisation() != "", c.organisation) << c.name;
    EXPECT_FALSE(SerialPortOpen) << c.name;
    EXPECT_FALSE(reader.IsPowered(0)) << c.name;
  }
  // The link failure's own words come first.
  Restart();
  OpenReader();
  reader.faults().onlyCommand = 0x26;
  reader.faults().after = 2;
  reader.faults().remaining = 1;
  reader.faults().badCheck = true;
  Outputs out;
  KXReadCardID(0, out.cardNumber, out.code, out.organisation);
  EXPECT_EQ(Text(), "通信校验错误;KXReadCardIDAIO 读卡识别码出错");
}

TEST_F(Identity, TheSearchHasItsOwnOutcomes) {
  struct Case {
    const char* name;
    bool reader, card;
    int read, update;
    const char* readText;
    const char* updateText;
  };
  const Case cases[] = {
      {"no reader", false, false, -1, -1, "没有找到设备", "没有找到设备"},
      // The update keeps the reader's own words and says nothing of its own.
      {"reader without a card", true, false, -6, -1, "未插入用户卡", "接触式用户卡未插到位"},
  };
  for (const Case& c : cases) {
    for (const bool update : {false, true}) {
      Restart();
      if (!c.reader) backend.Detach(1);
      if (!c.card) reader.Remove(0);
      Outputs out;
      const int r = update ? KXUpdateCardIDAIO("330329", "00006074", out.code)
                           : KXReadCardIDAIO(out.cardNumber, out.code, out.organisation);
      EXPECT_EQ(r, update ? c.update : c.read) << c.name << " " << update;
      EXPECT_EQ(Text(), update ? c.updateText : c.readText) << c.name << " " << update;
      EXPECT_EQ(out.Code(), "") << c.name;
      EXPECT_FALSE(SerialPortOpen) << c.name;
      EXPECT_FALSE(backend.IsOpen(1)) << c.name;
    }
  }
}

TEST_F(Identity, RewriteSendsEveryFixedCommandAndWritesTheCheckedCode) {
  struct Case {
    const char* region;
    const char* serial;
    const char* checked;  // the new code's first 24 digits
  };
  const Case cases[] = {
      {"330329", "00006074", "330329D15600000500006074"},
      // Only the first 6 and 8 characters count; the serial's letters are hex.
      {"3303290000", "a1b2c3d4ffff", "330329D156000005A1B2C3D4"},
  };
  for (const Case& c : cases) {
    Restart();
    const auto check = sim::IdentificationCheckBytes(card->profile().atr, c.checked);
    ASSERT_TRUE(check);
    const std::string expectedText = c.checked + Packed(sim::Bytes(check->begin(), check->end()));
    char out[40];
    std::memset(out, 0x55, sizeof out);
    ASSERT_EQ(KXUpdateCardIDAIO(c.region, c.serial, out), 0) << c.region << ": " << Message(-12);
    EXPECT_EQ(std::string(out, 33), expectedText + '\0');
    EXPECT_EQ(static_cast<unsigned char>(out[33]), 0x55);
    // Read back from the card: tag 01, length 10, the 16 bytes.
    EXPECT_EQ(CardCode(), "0110" + expectedText);
    const std::string data = test::HexText(test::HexBytes(expectedText));
    const std::string checked = test::HexText(test::HexBytes(c.checked));
    EXPECT_EQ(Sequence(), Expand({"ON 0",
                                  "0> 00 A4 00 00 02 3F 00",
                                  "0> 00 A4 02 00 02 EF 05",
                                  "0> 00 B2 01 04 FF",
                                  "ON 16",
                                  "16> 00 A4 00 00 02 3F 00",
                                  "16> 00 A4 04 00 06 D1 56 00 00 05 90",
                                  "16> BF DE 67 08 20 {CF} {F2} {F1} 00 00 00 00 00 00 00 00",
                                  "16> 80 FA 00 00 10 " + checked + " 00 00 00 00",
                                  "0> 00 A4 00 00 02 3F 00",
                                  "0> 00 84 00 00 08",
                                  "0> 00 84 00 00 08",
                                  "16> 00 A4 00 00 02 3F 00",
                                  "16> 00 A4 00 00 02 DF 01",
                                  "16> BF DE 48 12 18 {CF} {F2} {C2}",
                                  "16> 80 FA 00 00 08 {C1}",
                                  "0> 00 82 00 04 10 {X} {C1}",
                                  "0> 00 A4 02 00 02 EF 05",
                                  "0> 00 DC 01 04 12 01 10 " + data,
                                  "OFF 0"}))
        << c.region;
    EXPECT_FALSE(SerialPortOpen);
  }
}

// Each step of the rewrite refused in turn: the card's status, the step's
// words alone (after SelectMasterFile's for a master file), the slot then
// selected powered off, the link closed, the card's code as it was.
TEST_F(Identity, EachRewriteStepsFailureEndsTheCallWithItsWords) {
  struct Case {
    int apdu;  // the n-th APDU of the call answers 69 85
    const char* text;
    int slot;
  };
  const Case cases[] = {
      {1, ";KXReadCardIDAIO 选择主文件失败;KXReadCardIDAIO 选择主文件", 0},
      {2, ";KXReadCardIDAIO ef05 错", 0},
      {3, ";KXReadCardIDAIO 读卡识别码出错", 0},
      {4, ";KXReadCardIDAIO PSAM选择主文件出错", 16},
      {5, ";KXReadCardIDAIO PSAM选择应用文件出错", 16},
      {6, ";KXReadCardIDAIO PSAM分散密钥出错", 16},
      {7, ";KXReadCardIDAIO PSAM数据安全计算出错", 16},
      {8, ";KXReadCardIDAIO 选择主文件失败;KXReadCardIDAIO IC选择主文件出错", 0},
      {9, ";KXReadCardIDAIO IC取第一次随即数出错", 0},
      {10, ";KXReadCardIDAIO IC取第二次随即数出错", 0},
      {11, ";KXReadCardIDAIO PSAM选择主文件出错", 16},
      {12, ";KXReadCardIDAIO PSAM选择应用文件出错", 16},
      {13, ";KXReadCardIDAIO PSAM分散密钥出错", 16},
      {14, ";KXReadCardIDAIO PSAM数据安全计算出错", 16},
      {15, ";KXReadCardIDAIO 做外部认证出错", 0},
      {16, ";KXReadCardIDAIO IC选择应用文件出错", 0},
  };
  for (const Case& c : cases) {
    Restart();
    const std::string before = CardCode();
    FailApdu(c.apdu, {0x69, 0x85});
    char out[40] = {};
    EXPECT_EQ(KXUpdateCardIDAIO("330329", "12345678", out), -27013) << c.apdu;
    EXPECT_EQ(Message(-27013), std::string("sw返回 6985 使用条件不满足\r\n") + c.text) << c.apdu;
    EXPECT_EQ(nIFDType, c.slot) << c.apdu;
    EXPECT_FALSE(reader.IsPowered(c.slot)) << c.apdu;
    EXPECT_FALSE(SerialPortOpen) << c.apdu;
    EXPECT_EQ(out[0], 0) << c.apdu;
    EXPECT_EQ(CardCode(), before) << c.apdu;
  }
  // The write itself refused (the simulated card has written it already).
  Restart();
  FailApdu(17, {0x65, 0x81});
  char out[40] = {};
  EXPECT_EQ(KXUpdateCardIDAIO("330329", "12345678", out), -25985);
  EXPECT_EQ(Text(), ";KXReadCardIDAIO IC选择应用文件出错");
  EXPECT_EQ(out[0], 0);
  // A reader failure on the line: its own words first.
  Restart();
  reader.faults().onlyCommand = 0x26;
  reader.faults().after = 5;
  reader.faults().remaining = 1;
  reader.faults().badCheck = true;
  EXPECT_EQ(KXUpdateCardIDAIO("330329", "12345678", out), -4);
  EXPECT_EQ(Text(), "通信校验错误;KXReadCardIDAIO PSAM分散密钥出错");
  EXPECT_FALSE(SerialPortOpen);
}

TEST_F(Identity, RewriteRefusesWhatItCannotBuildSoundly) {
  struct Case {
    const char* name;
    const char* region;
    const char* serial;
    std::function<void()> arrange;
    int code;
    const char* text;
    bool reachesReader;
  };
  const char* kRegionText = "KXUpdateCardIDAIO 地区码应为6位十六进制数字";
  const char* kSerialText = "KXUpdateCardIDAIO 序号应为8位十六进制数字";
  const Case cases[] = {
      {"short region", "33032", "00006074", nullptr, -12, kRegionText, false},
      {"region not hex", "33032G", "00006074", nullptr, -12, kRegionText, false},
      {"no region", nullptr, "00006074", nullptr, -12, kRegionText, false},
      {"short serial", "330329", "0000607", nullptr, -12, kSerialText, false},
      {"serial with a space", "330329", "0000 074", nullptr, -12, kSerialText, false},
      // A reset answer too short for the card factor (5 historical bytes).
      {"short reset answer", "330329", "00006074",
       [this] {
         sim::CardProfile profile = sim::DefaultCardProfile();
         profile.atr = sim::Bytes{0x3B, 0x65, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
         card = std::make_shared<sim::UserCard>(profile);
         reader.Insert(0, card);
       },
       -12, "复位信息长度不足", true},
      // The PSAM's check answer must reach its bytes 8 to 11.
      {"check answer of 11 bytes", "330329", "00006074",
       [this] { reader.Insert(16, std::make_shared<test::ReshapedPsam>(11)); }, -4,
       ";KXReadCardIDAIO PSAM数据安全计算出错", true},
      // A record 1 too short to give the bytes the new code keeps.
      {"short record 1", "330329", "00006074",
       [this] {
         FailApdu(3, {0x01, 0x04, 0x33, 0x03, 0x29, 0xD1, 0x90, 0x00});
       },
       -12, "卡识别码长度错误;KXReadCardIDAIO 读卡识别码出错", true},
  };
  for (const Case& c : cases) {
    Restart();
    if (c.arrange) c.arrange();
    const std::string before = CardCode();
    char out[40] = {};
    EXPECT_EQ(KXUpdateCardIDAIO(c.region, c.serial, out), c.code) << c.name;
    EXPECT_EQ(Text(), c.text) << c.name;
    EXPECT_EQ(!Sequence().empty(), c.reachesReader) << c.name;
    EXPECT_EQ(CardCode(), before) << c.name;
    EXPECT_EQ(out[0], 0) << c.name;
    EXPECT_FALSE(SerialPortOpen) << c.name;
  }
  // Twelve bytes are all the check needs.
  Restart();
  reader.Insert(16, std::make_shared<test::ReshapedPsam>(12));
  char out[40] = {};
  ASSERT_EQ(KXUpdateCardIDAIO("330329", "00006074", out), 0) << Message(-12);
  const auto check = sim::IdentificationCheckBytes(card->profile().atr, "330329D15600000500006074");
  EXPECT_EQ(std::string(out + 24), Packed(sim::Bytes(check->begin(), check->end())));
}

// The region factors come from the region code as typed: on a card whose
// code starts 3A 0B, "3a0b29" gives the same code bytes as "3A0B29" but
// other factors, which the card's UKMF does not match.
TEST_F(Identity, RegionFactorsAreTheCharactersAsTyped) {
  struct Case {
    const char* region;
    int code;
  };
  for (const Case c : {Case{"3A0B29", 0}, Case{"3a0b29", -25543}}) {
    Restart();
    sim::CardProfile profile = sim::DefaultCardProfile();
    profile.files[{0x3F00, 0xEF05}].records[1] =
        test::HexBytes("01 10 3A 0B 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F");
    sim::PersonaliseKeys(&profile);
    card = std::make_shared<sim::UserCard>(profile);
    reader.Insert(0, card);
    char out[40] = {};
    EXPECT_EQ(KXUpdateCardIDAIO(c.region, "00006074", out), c.code) << c.region;
    const std::string factor2 = std::string(c.region, 4) + "00sx";
    const std::string factor1 = std::string(c.region, 2) + "0000sh";
    const std::string diversify = "16> BF DE 67 08 20 {CF} " +
                                  test::HexText(sim::Bytes(factor2.begin(), factor2.end())) + " " +
                                  test::HexText(sim::Bytes(factor1.begin(), factor1.end())) +
                                  " 00 00 00 00 00 00 00 00";
    const Lines sequence = Sequence();
    EXPECT_NE(std::find(sequence.begin(), sequence.end(), Expand({diversify})[0]), sequence.end())
        << c.region;
    if (c.code != 0) {
      EXPECT_EQ(Text(), ";KXReadCardIDAIO 做外部认证出错");
    }
  }
}

}  // namespace
}  // namespace kx
