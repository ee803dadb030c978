// The key check and the read services through the C ABI, against the
// simulated card and PSAM: the exact APDU sequences, what the host gets back,
// and the refusals.
#include <cstring>
#include <string>

#include "platform/sim/sim_hid.h"
#include "services/key_authentication.h"
#include "sim/pin_pad.h"
#include "tests/integration/services_fixture.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

using test::AuthenticationLines;
using test::Join;
using test::kFactorReads;
using test::Lines;

using KeyCheck = test::ServicesFixture;

TEST_F(KeyCheck, EachKeyIsProvenWithItsDirectoryLevelsAndKeyIds) {
  struct Case {
    const char* key;
    Lines afterFactors;
  };
  const Case cases[] = {
      {"UK1DF01", Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 DF 01"},
                        AuthenticationLines("BF DE 48 42 18 {CF} {F2} {C2}", "00 82 00 83 10")})},
      // A key of the master file: no directory selection on the card, DF01 on the PSAM.
      {"UKMF", Join({{"0> 00 A4 00 00 02 3F 00"},
                     AuthenticationLines("BF DE 48 12 18 {CF} {F2} {C2}", "00 82 00 04 10")})},
      {"RK1DF03",
       Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 DF 03"},
             AuthenticationLines("BF DE 67 2B 20 {CF} {F2} {F1} {C2}", "00 82 00 84 10")})},
      {"RK2DF04", Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 DF 04"},
                        AuthenticationLines("BF DE 28 8F 10 {CF} {C2}", "00 82 00 89 10")})},
      // The name may run on past the key's.
      {"UK1DF01 and more",
       Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 DF 01"},
             AuthenticationLines("BF DE 48 42 18 {CF} {F2} {C2}", "00 82 00 83 10")})},
  };
  OpenReader();
  for (const Case& c : cases) {
    reader.ClearTrace();
    EXPECT_EQ(KXCheckKey(0, c.key), 0) << c.key << ": " << Message(-12);
    EXPECT_EQ(Sequence(), Expand(Join({kFactorReads, c.afterFactors}))) << c.key;
    EXPECT_EQ(nIFDType, 0) << c.key;
  }
}

TEST_F(KeyCheck, FailuresStopAtTheirStepWithTheStepsText) {
  struct Case {
    const char* name;
    const char* key;
    void (*arrange)(sim::Reader&);
    int code;
    const char* text;
    int slot;  // selected afterwards
    bool psamReached;
  };
  const Case cases[] = {
      {"unknown key", "UK1DF0", nullptr, -12, "密钥标识对照表中无此密钥名", 0, false},
      {"unknown key, the PSAM selected before", "UK1DF0", [](sim::Reader&) { KXSelectIFD(0, 14); },
       -12, "密钥标识对照表中无此密钥名", 0, false},
      {"key without levels", "UKCDF03", nullptr, -12, "未找到密钥分散级数", 0, false},
      {"second challenge refused", "UK1DF01",
       [](sim::Reader& r) {
         r.faults().onlyCommand = 0x26;
         r.faults().after = 6;  // three factor commands, MF, DF01, first challenge
         r.faults().remaining = 1;
         r.faults().replyData = sim::Bytes{0x69, 0x85};
       },
       -27013, "取随机数2失败", 0, false},
      {"no PSAM", "UK1DF01", [](sim::Reader& r) { r.Remove(16); }, -5, nullptr, 16, true},
  };
  for (const Case& c : cases) {
    Restart();
    OpenReader();
    if (c.arrange != nullptr) c.arrange(reader);
    EXPECT_EQ(KXCheckKey(0, c.key), c.code) << c.name;
    if (c.text != nullptr) {
      EXPECT_EQ(Text(), c.text) << c.name;
    }
    EXPECT_EQ(nIFDType, c.slot) << c.name;
    bool psam = false;
    for (const std::string& line : Sequence())
      psam = psam || line.find("16") == 0 || line == "ON 16";
    EXPECT_EQ(psam, c.psamReached) << c.name;
    if (c.code == -12) {
      EXPECT_TRUE(Sequence().empty()) << c.name;
    }
  }
}

// The card is given exactly 8 cryptogram bytes: a shorter answer is refused
// before the card hears of it, a longer one is cut.
TEST_F(KeyCheck, CryptogramsShorterThanEightBytesAreRefusedLongerOnesCut) {
  struct Case {
    std::size_t length;
    int code;
  };
  for (const Case c : {Case{4, -4}, Case{7, -4}, Case{16, 0}}) {
    Restart();
    reader.Insert(16, std::make_shared<test::ReshapedPsam>(c.length));
    OpenReader();
    EXPECT_EQ(KXCheckKey(0, "UK1DF01"), c.code) << c.length;
    const Lines sequence = Sequence();
    EXPECT_EQ(sequence.back().rfind("0> 00 82", 0) == 0, c.code == 0) << c.length;
    if (c.code != 0) {
      EXPECT_EQ(Text(), "数据加密失败");
    }
  }
}

// The flow as the identity rewrite runs it: from the master file on, with
// the key's values as constants, factors the caller made, a PSAM the caller
// has reset, no Le on 80 FA, and step texts added after the command's own.
TEST_F(KeyCheck, TheFlowRunsFromAnyStepWithTheCallersVariations) {
  OpenReader();
  KXSelectIFD(0, 14);
  char atr[2 * kResetAnswerSize + 1];
  ASSERT_EQ(KXCpuReset(0, atr), 0);
  // The library's texts are GBK.
  static const std::string kStepText = test::Gbk(";KXReadCardIDAIO 做外部认证出错");
  static const AuthenticationTexts kAppended = [] {
    AuthenticationTexts texts = kCheckKeyTexts;
    texts.authenticate = kStepText.c_str();
    texts.append = true;
    return texts;
  }();
  AuthenticationOptions options;
  options.texts = &kAppended;
  options.resetPsam = false;
  options.encryptWithLe = false;
  const sim::DiversificationFactors factors = CardFactors();

  struct Case {
    std::uint8_t cardKeyId;
    int code;
    const char* text;
  };
  for (const Case c : {Case{0x04, 0, ""}, Case{0x99, -0x6A88, ";KXReadCardIDAIO 做外部认证出错"}}) {
    reader.ClearTrace();
    test::StateOperation op;
    KeyAuthentication flow(op, {0x3F00, c.cardKeyId, 0x48, 0x12, 2}, options);
    std::copy(factors.cardFactor.begin(), factors.cardFactor.end(), flow.factors().cardFactor);
    std::copy(factors.factor2.begin(), factors.factor2.end(), flow.factors().factor2);
    EXPECT_EQ(flow.Run(AuthenticationStep::MasterFile, AuthenticationStep::Authenticate), c.code);
    EXPECT_EQ(Text(), c.text);
    char key[8];
    std::snprintf(key, sizeof key, "%02X", c.cardKeyId);
    EXPECT_EQ(Sequence(),
              Expand({"0> 00 A4 00 00 02 3F 00", "0> 00 84 00 00 08", "0> 00 84 00 00 08",
                      "16> 00 A4 00 00 02 3F 00", "16> 00 A4 00 00 02 DF 01",
                      "16> BF DE 48 12 18 {CF} {F2} {C2}", "16> 80 FA 00 00 08 {C1}",
                      std::string("0> 00 82 00 ") + key + " 10 {X} {C1}"}));
  }
}

using ReadInfo = test::ServicesFixture;

TEST_F(ReadInfo, ReadsSatisfyEachFilesConditionAndFormatTheItems) {
  struct Case {
    const char* directory;
    const char* file;
    int record;
    Lines afterPsam;
    std::string out;  // exactly these bytes, then the untouched sentinel
  };
  const Lines verify = {"0> 00 20 00 00 03 12 34 56"};
  const Case cases[] = {
      {"3F00",
       "EF05",
       1,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 EF 05", "0> 00 B2 01 04 00"},
       std::string("330329D15600000500006074BD3D5A3F", 33)},
      // Only the record number's low byte counts.
      {"3F00",
       "EF05",
       257,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 EF 05", "0> 00 B2 01 04 00"},
       std::string("330329D15600000500006074BD3D5A3F", 33)},
      // The whole file: one read per item, raw items without a terminator.
      {"3F00",
       "EF05",
       0,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 EF 05", "0> 00 B2 01 04 06",
        "0> 00 B2 02 04 06", "0> 00 B2 03 04 06", "0> 00 B2 04 04 06", "0> 00 B2 05 04 06",
        "0> 00 B2 06 04 06", "0> 00 B2 07 04 06"},
       "330329D15600000500006074BD3D5A3F"
       "1"
       "2.00"
       "330329100001000000000001"
       "20120101"
       "20220101"
       "K12345678"},
      // "PIN": the preset PIN, no PSAM command.
      {"DF01", "EF05", 1,
       Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 01"},
             verify,
             {"0> 00 A4 02 00 02 EF 05", "0> 00 B2 01 04 00"}}),
       "1"},
      // Texts longer than four characters count by their first four.
      {"DF01xyz", "EF05\x7f\x01", 1,
       Join({{"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 01"},
             verify,
             {"0> 00 A4 02 00 02 EF 05", "0> 00 B2 01 04 00"}}),
       "1"},
      // "PIN&RK2DF03": the PIN, then the key (three levels).
      {"DF03", "EF05", 2,
       Join({kFactorReads,
             {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 03"},
             verify,
             AuthenticationLines("BF DE 67 2C 20 {CF} {F2} {F1} {C2}", "00 82 00 85 10"),
             {"0> 00 A4 02 00 02 EF 05", "0> 00 B2 02 04 00"}}),
       std::string("00120000", 9)},
      // "PIN|UK2DF01": the key alone.
      {"DF01", "EF07", 1,
       Join({kFactorReads,
             {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 01"},
             AuthenticationLines("BF DE 48 43 18 {CF} {F2} {C2}", "00 82 00 84 10"),
             {"0> 00 A4 02 00 02 EF 07", "0> 00 B2 01 04 00"}}),
       "1"},
  };
  OpenReader();
  for (const Case& c : cases) {
    reader.ClearTrace();
    unsigned char out[256];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(KXReadInfo(0, c.directory, c.file, c.record, out), 0)
        << c.directory << " " << c.file << " " << c.record << ": " << Message(-12);
    EXPECT_EQ(Sequence(), Expand(Join({{"ON 16"}, c.afterPsam})))
        << c.directory << " " << c.file << " " << c.record;
    // The service empties the first four bytes before it reads.
    std::string expected = c.out;
    if (expected.size() < 4) expected.resize(4, '\0');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), expected.size()), expected) << c.directory;
    EXPECT_EQ(out[expected.size()], 0xEE) << c.directory << " " << c.file;
  }
}

TEST_F(ReadInfo, DictionaryAndNameFailuresComeBeforeAnyCardCommand) {
  struct Case {
    const char* directory;
    const char* file;
    int record;
    const char* text;
    bool psamPoweredFirst;
  };
  const Case cases[] = {
      {"3F00", "EF07", 1, "读文件未找到3F00 EF07 目录下的第 1 条记录 ", true},
      {"DF0B", "EF0C", 0, "未找到读所有记录的目录 TagCardRecordInfo ", true},
      {"3F00ABCDEFGHIJKLMNOPQRSTUVWXYZ", "EF07 and more", 1,
       "读文件未找到3F00 EF07 目录下的第 1 条记录 ", true},
      // Shorter than four characters: refused before anything is sent.
      {"DF0", "EF05", 1, "读文件未找到DF0 EF05 目录下的第 1 条记录 ", false},
      {"DF01", "", 0, "未找到读所有记录的目录 TagCardRecordInfo ", false},
      {nullptr, "EF05", 2, "读文件未找到 EF05 目录下的第 2 条记录 ", false},
  };
  OpenReader();
  for (const Case& c : cases) {
    reader.ClearTrace();
    unsigned char out[64] = {};
    EXPECT_EQ(KXReadInfo(0, c.directory, c.file, c.record, out), -12) << c.text;
    EXPECT_EQ(Message(-12), "输入参数不匹配\r\n" + std::string(c.text));
    EXPECT_EQ(Sequence(), c.psamPoweredFirst ? Lines{"ON 16"} : Lines{}) << c.text;
  }
}

TEST_F(ReadInfo, ReadBinaryMovesPiecesOfAtMost128BytesWithinTheOffsetRange) {
  struct Case {
    int offset;
    int length;
    int code;
    Lines afterPsam;  // empty and no power-on: nothing sent at all
    bool sent;
  };
  const Case cases[] = {
      {0, 300, 0, {"0> 00 B0 00 00 80", "0> 00 B0 00 80 80", "0> 00 B0 01 00 2C"}, true},
      {0x0105, 16, 0, {"0> 00 B0 01 05 10"}, true},
      {32767, 1, -0x6B00, {"0> 00 B0 7F FF 01"}, true},  // sent; the file is shorter
      {32768, 1, -12, {}, true},
      {32700, 200, -12, {}, true},  // the second piece would start past 7FFF
      {-1, 4, -12, {}, false},
      {0, -4, -12, {}, false},
      {0, 0, 0, {}, true},
  };
  OpenReader();
  // The fingerprint file under the master file is free to read.
  unsigned char reply[300];
  int length = 0;
  for (const char* select : {"\x00\xA4\x00\x00\x02\x3F\x00", "\x00\xA4\x02\x00\x02\xEF\x07"}) {
    ASSERT_EQ(KXRunApdu(0, 7, reinterpret_cast<const unsigned char*>(select), &length, reply), 0);
  }
  for (const Case& c : cases) {
    reader.ClearTrace();
    unsigned char out[400];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(KXReadBinary(0, c.offset, c.length, out), c.code) << c.offset << "+" << c.length;
    EXPECT_EQ(Sequence(), c.sent ? Join({{"ON 16"}, c.afterPsam}) : Lines{})
        << c.offset << "+" << c.length;
    if (c.code == -12) {
      EXPECT_EQ(Message(-12), "输入参数不匹配\r\nKXReadBinary,读二进制文件起始地址超出参数范围");
    }
    if (c.code == 0 && c.length > 0) {
      const sim::Bytes& content = Binary(0x3F00, 0xEF07);
      EXPECT_EQ(sim::Bytes(out, out + c.length),
                sim::Bytes(content.begin() + c.offset, content.begin() + c.offset + c.length));
      EXPECT_EQ(out[c.length], 0xEE);
    }
  }
}

// The cardholder's tries are spent only on a PIN someone gave: the host
// through SetPin, or the cardholder on the pad.
TEST_F(ReadInfo, APinGuardedReadPresentsOnlyAPinSomeoneGave) {
  struct Case {
    const char* name;
    const char* preset;  // null: SetPin never called since load
    const char* typed;   // null: no PIN pad attached
    int reads;
    int code;        // of each read
    Lines verifies;  // every VERIFY of all the reads
    int triesLeft;
  };
  const Case cases[] = {
      {"nothing given, no pad", nullptr, nullptr, 5, -2, {}, sim::kDefaultPinTries},
      {"nothing given, typed on the pad",
       nullptr,
       "123456",
       1,
       0,
       {"0> 00 20 00 00 03 12 34 56"},
       sim::kDefaultPinTries},
      {"nothing given, mistyped on the pad",
       nullptr,
       "111111",
       1,
       -25538,
       {"0> 00 20 00 00 03 11 11 11"},
       sim::kDefaultPinTries - 1},
      // What a host hands over is presented as before, zeros too.
      {"SetPin 000000, no pad",
       "000000",
       nullptr,
       1,
       -2,
       {"0> 00 20 00 00 03 00 00 00"},
       sim::kDefaultPinTries - 1},
  };
  for (const Case& c : cases) {
    Restart();
    State.presetPinStored = false;
    std::memset(PresetPin, 0, sizeof PresetPin);
    if (c.preset != nullptr) {
      ASSERT_EQ(SetPin(c.preset), 3);
    }
    sim::PinPad pad;
    if (c.typed != nullptr) {
      backend.Hid().Attach({0x7B15, 0x0101}, &pad);
      pad.script().typed = c.typed;
    }
    OpenReader();
    for (int i = 0; i < c.reads; ++i) {
      unsigned char out[64] = {};
      EXPECT_EQ(KXReadInfo(0, "DF01", "EF05", 1, out), c.code) << c.name;
      if (c.code != 0) {
        EXPECT_EQ(Text(), "读文件 密码验证失败") << c.name;
      }
    }
    Lines verifies;
    for (const std::string& line : Sequence()) {
      if (line.rfind("0> 00 20", 0) == 0) {
        verifies.push_back(line);
      }
    }
    EXPECT_EQ(verifies, c.verifies) << c.name;
    EXPECT_EQ(card->profile().pinTriesLeft, c.triesLeft) << c.name;
    backend.Hid().DetachAll();
  }
}

// A card that answers a whole-file read's short Le with just the bytes asked
// for and 90 00, where it should have said 6Cxx; `again` decides whether it
// gives the whole record when asked for its length.
class ShortAnsweringCard : public sim::UserCard {
 public:
  explicit ShortAnsweringCard(bool again) : again_(again) {}
  sim::Bytes Transmit(const sim::Bytes& apdu) override {
    const bool readRecord = apdu.size() == 5 && apdu[0] == 0x00 && apdu[1] == 0xB2;
    if (!readRecord || (again_ && apdu[4] != 0x06)) return UserCard::Transmit(apdu);
    sim::Bytes whole = apdu;
    whole[4] = 0x00;
    sim::Bytes reply = UserCard::Transmit(whole);
    if (reply.size() <= 8) return UserCard::Transmit(apdu);
    reply.erase(reply.begin() + 6, reply.end() - 2);
    return reply;
  }

 private:
  bool again_;
};

TEST_F(ReadInfo, AWholeFileRecordAnsweredShortIsAskedForAgainNeverPadded) {
  unsigned char expected[128] = {};
  OpenReader();
  ASSERT_EQ(KXReadInfo(0, "3F00", "EF05", 0, expected), 0);

  card = std::make_shared<ShortAnsweringCard>(true);
  reader.Insert(0, card);
  OpenReader();
  unsigned char out[128] = {};
  ASSERT_EQ(KXReadInfo(0, "3F00", "EF05", 0, out), 0) << Message(-12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 86),
            std::string(reinterpret_cast<char*>(expected), 86));
  const Lines reads = {"0> 00 B2 01 04 06", "0> 00 B2 01 04 12", "0> 00 B2 02 04 06",
                       "0> 00 B2 03 04 06", "0> 00 B2 04 04 06", "0> 00 B2 04 04 0E",
                       "0> 00 B2 05 04 06", "0> 00 B2 06 04 06", "0> 00 B2 07 04 06",
                       "0> 00 B2 07 04 0B"};
  Lines sent;
  for (const std::string& line : Sequence()) {
    if (line.rfind("0> 00 B2", 0) == 0) {
      sent.push_back(line);
    }
  }
  EXPECT_EQ(sent, reads);

  card = std::make_shared<ShortAnsweringCard>(false);
  reader.Insert(0, card);
  OpenReader();
  std::memset(out, 0, sizeof out);
  EXPECT_EQ(KXReadInfo(0, "3F00", "EF05", 0, out), -4);
  EXPECT_EQ(Text(), "读文件 第 1 条记录长度不足");
}

TEST_F(ReadInfo, AllInOneReadsFindTheReaderAndLeaveEverythingOff) {
  sim::CardProfile profile = sim::DefaultCardProfile();
  sim::Bytes& content = profile.files[{0xDF0B, 0xEF0C}].binary;
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  card = std::make_shared<sim::UserCard>(profile);
  reader.Insert(0, card);
  char hex[600];
  std::memset(hex, 0x55, sizeof hex);
  ASSERT_EQ(KXReadBinaryAIO("DF0B", "EF0C", 0, 256, hex), 0) << Message(-12);
  EXPECT_EQ(Sequence(),
            Expand(Join({{"ON 0", "ON 16"},
                         kFactorReads,
                         {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 0B"},
                         AuthenticationLines("BF DE 28 91 10 {CF} {C2}", "00 82 00 85 10"),
                         {"0> 00 A4 02 00 02 EF 0C", "ON 16", "0> 00 B0 00 00 80",
                          "0> 00 B0 00 80 80", "OFF 0", "OFF 16"}})));
  std::string packed = test::HexText(sim::Bytes(content.begin(), content.begin() + 256));
  std::erase(packed, ' ');
  EXPECT_EQ(std::string(hex, 513), packed + '\0');
  ExpectReleased("KXReadBinaryAIO");

  unsigned char plain[128] = {};
  unsigned char aliased[128] = {};
  ASSERT_EQ(KXReadInfoAIO("DF03", "EF05", 2, plain), 0) << Message(-12);
  ASSERT_EQ(testKXReadInfoAIO("DF03", "EF05", 2, aliased), 0) << Message(-12);
  EXPECT_STREQ(reinterpret_cast<char*>(plain), "00120000");
  EXPECT_STREQ(reinterpret_cast<char*>(aliased), "00120000");
  ExpectReleased("KXReadInfoAIO");
}

}  // namespace
}  // namespace kx
