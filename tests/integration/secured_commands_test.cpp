// The PIN unlock and the application lock through the C ABI, against the
// simulated card and PSAM, which check the enciphered PIN block, the
// enciphered challenge and the MACs themselves: the exact sequences, the
// card's state afterwards, the order in which the new PIN is examined, the
// refusals, and no copy of the new PIN left behind.
#include <cstring>
#include <functional>
#include <string>

#include "tests/integration/services_fixture.h"
#include "tests/support/stack_scan.h"

namespace kx {
namespace {

using test::Join;
using test::kFactorReads;
using test::Lines;

// Everything the unlock sends up to the PSAM's first diversification of
// STKMF, where it looks at the new PIN for the first time.
const Lines kUnlockUntilPin = Join(
    {kFactorReads,
     {"0> 00 A4 00 00 02 3F 00", "0> 00 84 00 00 08", "0> 00 84 00 00 08", "ON 16",
      "16> 00 A4 00 00 02 3F 00", "16> 00 A4 00 00 02 DF 01", "16> BF DE 48 10 18 {CF} {F2} {C2}",
      "16> 80 FA 00 00 08 {C1} 00", "0> 00 82 00 06 10 {X1} {C1}", "0> 00 A4 00 00 02 3F 00",
      "0> 00 84 00 00 08", "0> 00 84 00 00 08", "16> BF DE 48 09 18 {CF} {F2} {C4}"}});

class Secured : public test::ServicesFixture {
 protected:
  // The card personalised with the master file's key `keyId` spoilt, so it
  // refuses whatever the PSAM makes under it.
  void SpoilCardKey(std::uint8_t keyId) {
    sim::CardProfile profile = sim::DefaultCardProfile();
    profile.keys.at({0x3F00, keyId}).value[0] ^= 0x80;  // not the parity bit: DES ignores that one
    card = std::make_shared<sim::UserCard>(profile);
    card->SeedChallenges(7);
    reader.Insert(0, card);
  }
  std::string CardPin() const { return test::HexText(card->profile().pin); }
  bool Sent(const std::string& prefix) const {
    for (const std::string& line : Sequence()) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
};

TEST_F(Secured, UnlockResetsABlockedPinToTheDefaultOrTheGivenOne) {
  struct Case {
    const char* pin;
    const char* digits;
    const char* bytes;
  };
  for (const Case c : {Case{"", "258147", "25 81 47"}, Case{"975318", "975318", "97 53 18"}}) {
    Restart();
    OpenReader();
    int tries = 0;
    for (int i = 0; i < 3; ++i) KXCardVerifyPIN(0, "000000", &tries);
    ASSERT_EQ(card->profile().pinTriesLeft, 0);
    reader.ClearTrace();

    ASSERT_EQ(KXCardUnlockPIN(0, c.pin), 0) << c.digits << ": " << Message(-12);
    const std::string block = std::string("03 ") + c.bytes + " 80 00 00 00";
    EXPECT_EQ(Sequence(),
              Expand(Join(
                  {kUnlockUntilPin,
                   {"16> 80 FA 00 00 10 " + block + " {C3} 00", "16> BF DE 48 09 18 {CF} {F2} {C4}",
                    "16> 80 FA 05 00 18 00 00 00 00 00 00 00 00 84 24 00 01 0C {X2} 80 "
                    "00 00 00",
                    "0> 84 24 00 01 0C {X2} {M3}"}})))
        << c.digits;
    EXPECT_EQ(CardPin(), c.bytes);
    EXPECT_EQ(nIFDType, 0);
    EXPECT_TRUE(SerialPortOpen);
    EXPECT_EQ(KXCardVerifyPIN(0, c.digits, &tries), 0) << c.digits;
  }
}

TEST_F(Secured, UnlockExaminesTheNewPinAfterPukAndTheFirstDiversification) {
  struct Case {
    const char* pin;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"12a456", -12, "输入参数不匹配\r\n密码输入内容有错误，不在0-9之间"},
      {"12 456", -12, "输入参数不匹配\r\n密码输入内容有错误，不在0-9之间"},
      {"12\xB9\xFA"
       "56",
       -12, "输入参数不匹配\r\n密码输入内容有错误，不在0-9之间"},
      {"12345", -15, "密码长度错误"},
      {"1234567", -15, "密码长度错误"},
  };
  for (const Case& c : cases) {
    Restart();
    OpenReader();
    EXPECT_EQ(KXCardUnlockPIN(0, c.pin), c.code) << c.pin;
    EXPECT_EQ(Message(c.code), c.message) << c.pin;
    if (c.code == -15) {
      EXPECT_EQ(Text(), "") << c.pin;
    }
    EXPECT_EQ(Sequence(), Expand(kUnlockUntilPin)) << c.pin;
    EXPECT_EQ(CardPin(), "12 34 56") << c.pin;
    EXPECT_TRUE(SerialPortOpen) << c.pin;
  }
  // A null PIN is no PIN at all, not the empty text that asks for the default.
  Restart();
  OpenReader();
  EXPECT_EQ(KXCardUnlockPIN(0, nullptr), -12);
  EXPECT_EQ(Message(-12), "输入参数不匹配\r\nKXCardUnlockPIN 新密码为空");
  EXPECT_EQ(Sequence(), Lines{});
  EXPECT_TRUE(SerialPortOpen);
}

TEST_F(Secured, UnlockFailuresLeaveThePinAsItWas) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"PUK refused by the card", [this] { SpoilCardKey(0x06); }, -25543, ""},
      {"STKMF's MAC refused by the card", [this] { SpoilCardKey(0x02); }, -27016, "重置密码失败"},
      // Four bytes of MAC or nothing goes to the card.
      {"MAC answer of 3 bytes",
       [this] { reader.Insert(16, std::make_shared<test::ReshapedPsam>(3, 0x05)); }, -4,
       "数据加密失败"},
      {"PIN block answer of 7 bytes",
       [this] { reader.Insert(16, std::make_shared<test::ReshapedPsam>(7, 0x00)); }, -4,
       "数据加密失败"},
      {"no PSAM", [this] { reader.Remove(16); }, -5, nullptr},
      // The card factor needs 13 historical bytes; the reader's answer has 5.
      {"short reset answer",
       [this] {
         sim::CardProfile profile = sim::DefaultCardProfile();
         profile.atr = sim::Bytes{0x3B, 0x65, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
         card = std::make_shared<sim::UserCard>(profile);
         reader.Insert(0, card);
       },
       -12, "KXCardUnlockPIN 得到分散因子失败"},
  };
  for (const Case& c : cases) {
    Restart();
    c.arrange();
    ASSERT_NO_FATAL_FAILURE(OpenReader());
    EXPECT_EQ(KXCardUnlockPIN(0, "975318"), c.code) << c.name;
    if (c.text != nullptr) {
      EXPECT_EQ(Text(), c.text) << c.name;
    }
    EXPECT_EQ(CardPin(), "12 34 56") << c.name;
    EXPECT_EQ(Sent("0> 84 24"), c.code == -27016) << c.name;
  }
}

TEST_F(Secured, LockOfDf03RefusesItsReadsWhileDf01StillReads) {
  OpenReader();
  // Only the first four characters name the directory.
  ASSERT_EQ(KXAppLock(0, "DF03 and more"), 0) << Message(-12);
  EXPECT_EQ(Sequence(),
            Expand(Join({kFactorReads,
                         {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 03", "0> 00 84 00 00 08",
                          "0> 00 84 00 00 08", "ON 16", "16> 00 A4 00 00 02 3F 00",
                          "16> 00 A4 00 00 02 DF 01", "16> BF DE 48 11 18 {CF} {F2} {C2}",
                          "16> 80 FA 00 00 08 {C1} 00", "16> BF DE 48 11 18 {CF} {F2} {C2}",
                          "16> 80 FA 05 00 18 00 00 00 00 00 00 00 00 84 1E 00 01 0C {X1} 80 00 "
                          "00 00",
                          "0> 84 1E 00 01 0C {X1} {M2}"}})));
  EXPECT_EQ(card->profile().lockedDirectories, std::set<std::uint16_t>{0xDF03});
  EXPECT_EQ(nIFDType, 0);
  EXPECT_TRUE(SerialPortOpen);

  unsigned char out[256] = {};
  EXPECT_EQ(KXReadInfo(0, "DF03", "EF06", 1, out), -27265);
  EXPECT_EQ(Message(-27265), "sw返回 6a81 功能不支持\r\n读文件 DF03 目录下 选择df文件失败");
  EXPECT_EQ(KXReadInfo(0, "DF01", "EF05", 1, out), 0) << Message(-12);
  // And in later sessions.
  KXReaderPowerOff(0);
  EXPECT_EQ(KXReadInfoAIO("DF03", "EF05", 2, out), -27265);
  EXPECT_EQ(KXReadInfoAIO("DF01", "EF05", 1, out), 0) << Message(-12);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "1");
}

TEST_F(Secured, LockRefusalsLeaveTheCardUnlocked) {
  struct Case {
    const char* name;
    const char* directory;
    std::function<void()> arrange;
    int code;
    const char* text;
    bool psamReached;
  };
  const char* kNameText = "KXAppLock 目录名应为4位十六进制数字";
  const Case cases[] = {
      {"three characters", "DF0", nullptr, -12, kNameText, false},
      {"not hex digits", "DFxz", nullptr, -12, kNameText, false},
      {"no name", nullptr, nullptr, -12, kNameText, false},
      {"a directory the card lacks", "DF09", nullptr, -27266, "KXAppLock 选择df文件失败", false},
      {"MAC answer of 3 bytes", "DF02",
       [this] { reader.Insert(16, std::make_shared<test::ReshapedPsam>(3, 0x05)); }, -4,
       "数据加密失败", true},
      {"BK refused by the card", "DF02", [this] { SpoilCardKey(0x05); }, -27016, "", true},
  };
  for (const Case& c : cases) {
    Restart();
    if (c.arrange) c.arrange();
    OpenReader();
    EXPECT_EQ(KXAppLock(0, c.directory), c.code) << c.name;
    EXPECT_EQ(Text(), c.text) << c.name;
    EXPECT_EQ(Sent("ON 16"), c.psamReached) << c.name;
    EXPECT_EQ(Sequence().empty(), c.code == -12) << c.name;
    EXPECT_TRUE(card->profile().lockedDirectories.empty()) << c.name;
  }
}

// The new PIN passes through the library as text, as BCD bytes and inside
// the PIN block; none of them may stay behind on the stack. Scripted cards
// keep the simulator's own ciphers (and their stack frames) out of it.
TEST_F(Secured, NoCopyOfTheNewPinOrItsBlockOutlivesTheCall) {
  const std::string name = test::Gbk("sx1.sh.社会保障");
  test::Bytes master = {0x6F, 0x11, 0x84, 0x0F};
  master.insert(master.end(), name.begin(), name.end());
  master.insert(master.end(), {0x90, 0x00});
  const test::Bytes ok = {0x90, 0x00};
  auto user = std::make_shared<test::ScriptedCard>();
  auto psam = std::make_shared<test::ScriptedCard>();
  user->Expect(test::HexBytes("00 A4 00 00 02 3F 00"), master)
      .Expect("00 A4 02 00 02 EF 05", "90 00")
      .Expect("00 B2 01 04 00", "01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F 90 00")
      .Expect(test::HexBytes("00 A4 00 00 02 3F 00"), master)
      .Expect("00 84 00 00 08", "11 11 11 11 11 11 11 11 90 00")
      .Expect("00 84 00 00 08", "22 22 22 22 22 22 22 22 90 00")
      .ExpectAny(ok)
      .Expect(test::HexBytes("00 A4 00 00 02 3F 00"), master)
      .Expect("00 84 00 00 08", "33 33 33 33 33 33 33 33 90 00")
      .Expect("00 84 00 00 08", "44 44 44 44 44 44 44 44 90 00")
      .ExpectAny(ok);
  psam->Expect(test::HexBytes("00 A4 00 00 02 3F 00"), master)
      .Expect("00 A4 00 00 02 DF 01", "90 00")
      .ExpectAny(ok)
      .ExpectAny(test::HexBytes("A1 A2 A3 A4 A5 A6 A7 A8 90 00"))
      .ExpectAny(ok)
      .ExpectAny(test::HexBytes("B1 B2 B3 B4 B5 B6 B7 B8 C1 C2 C3 C4 C5 C6 C7 C8 90 00"))
      .ExpectAny(ok)
      .ExpectAny(test::HexBytes("D1 D2 D3 D4 D5 D6 D7 D8 90 00"));
  reader.Insert(0, user);
  reader.Insert(16, psam);
  OpenReader();

  const int r = KXCardUnlockPIN(0, "975318");
  // Looked for at once, before other calls reuse the stack.
  const std::uint8_t asBytes[] = {0x03, 0x97, 0x53, 0x18, 0x80};
  const char asDigits[] = "0397531880000000";
  EXPECT_FALSE(test::StackHolds(asBytes, sizeof asBytes));
  EXPECT_FALSE(
      test::StackHolds(reinterpret_cast<const std::uint8_t*>(asDigits), sizeof asDigits - 1));
  ASSERT_EQ(r, 0) << Message(-12);
  EXPECT_EQ(user->Problems(), "");
  EXPECT_EQ(psam->Problems(), "");
  // The block went out: 03, the PIN, 80 00 00 00, then the first challenge.
  ASSERT_EQ(psam->Received().size(), 8u);
  EXPECT_EQ(test::HexText(psam->Received()[5]),
            "80 FA 00 00 10 03 97 53 18 80 00 00 00 33 33 33 33 33 33 33 33 00");
}

}  // namespace
}  // namespace kx
