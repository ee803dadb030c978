// The PIN through the C ABI: verify and change with their retry reports,
// the preset PIN, the verify that falls back to the pad, the digit check,
// and the wipe of every copy of the PIN the library made.
#include "card/pin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "tests/integration/card_fixture.h"
#include "tests/support/stack_scan.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Gbk;
using test::HexBytes;
using test::StackHolds;

using Pin = test::CardFixture;

TEST_F(Pin, VerifyAndChangeSendTheDigitPairsAndReportTriesLeft) {
  struct Case {
    const char* apdu;
    const char* reply;
    int plain;  // KXCardVerifyPIN / KXCardChangePIN
    int tries;  // written on -11
    int test;   // testKX... variant
  };
  const Case cases[] = {
      {"00 20 00 00 03 12 34 56", "90 00", 0, -1, 0},
      {"00 20 00 00 03 12 34 56", "63 C2", -11, 2, 2},
      {"00 20 00 00 03 12 34 56", "63 C0", -11, 0, 0},
      {"00 20 00 00 03 12 34 56", "69 83", -27011, -1, -27011},
      {"80 5E 01 00 07 12 34 56 FF 65 43 21", "90 00", 0, -1, 0},
      {"80 5E 01 00 07 12 34 56 FF 65 43 21", "63 C1", -11, 1, 1},
  };
  for (const Case& c : cases) {
    const bool change = c.apdu[0] == '8';
    card->Expect(c.apdu, c.reply).Expect(c.apdu, c.reply);
    int tries = -1;
    const int plain = change ? KXCardChangePIN(0, "123456", "654321", &tries)
                             : KXCardVerifyPIN(0, "123456", &tries);
    EXPECT_EQ(plain, c.plain) << c.reply;
    EXPECT_EQ(tries, c.tries) << c.reply;
    EXPECT_EQ(change ? testKXCardChangePIN("123456", "654321") : testKXCardVerifyPIN("123456"),
              c.test)
        << c.reply;
  }
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(Pin, PinsOfTheWrongLengthAreRefusedUnsent) {
  ErrorTextReplace("earlier");
  int tries = -1;
  EXPECT_EQ(KXCardVerifyPIN(0, "12345", &tries), -12);
  EXPECT_EQ(KXCardVerifyPIN(0, "1234567", &tries), -12);
  EXPECT_EQ(KXCardVerifyPIN(0, nullptr, &tries), -12);
  EXPECT_EQ(std::string(ErrorText), "earlier");

  EXPECT_EQ(KXCardChangePIN(0, "12345", "654321", &tries), -12);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n输入默认密码"));
  EXPECT_EQ(testKXCardChangePIN("123456", "65432"), -12);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n输入新密码"));
  EXPECT_EQ(tries, -1);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

TEST_F(Pin, SetPinKeepsUpToNineteenBytesAndRefusesMore) {
  EXPECT_EQ(SetPin("123456"), 3);
  EXPECT_EQ(Bytes(PresetPin, PresetPin + 4), HexBytes("12 34 56 00"));
  const std::string longest(38, '7');
  EXPECT_EQ(SetPin(longest.c_str()), 19);
  EXPECT_EQ(PresetPin[18], 0x77);
  EXPECT_EQ(PresetPin[19], 0x00);
  EXPECT_EQ(SetPin((longest + "7").c_str()), -1);
  EXPECT_EQ(SetPin("1 2"), -1);
  EXPECT_EQ(SetPin(nullptr), -1);
  EXPECT_EQ(PresetPin[18], 0x77);  // a refused text changes nothing
  EXPECT_EQ(SetPin(""), 0);
  EXPECT_EQ(PresetPin[0], 0x77);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

TEST_F(Pin, VerifyWithPadAsksThePadOnlyWhileTriesAreLeft) {
  // No pad is attached: asking it shows as the pad's failure.
  struct Case {
    const char* reply;
    int result;
    bool padAsked;
  };
  const Case cases[] = {
      {"90 00", 0, false},      {"63 C3", -2, true},      {"63 CF", -2, true},
      {"63 C0", -25536, false}, {"69 83", -27011, false}, {"6A 88", -27272, false},
  };
  const std::uint8_t pin[3] = {0x12, 0x34, 0x56};
  for (const Case& c : cases) {
    card->Expect("00 20 00 00 03 12 34 56", c.reply);
    ErrorTextClear();
    EXPECT_EQ(VerifyPinWithPad(test::Op(), 0, 0, 3, pin), c.result) << c.reply;
    EXPECT_EQ(std::string(ErrorText) == Gbk("密码键盘输入密码出错"), c.padAsked) << c.reply;
  }
  EXPECT_EQ(card->Problems(), "");
}

TEST(CheckDigits, FirstOffendingCharacterDecides) {
  struct Case {
    const char* text;
    int result;
  };
  const Case cases[] = {
      {"012789", 0},
      {"12a456", -1},
      {"12 456", -2},
      {"12\xB9\xFA"
       "56",
       -2},
      {"1:3456", -1},
      {"12/456", -2},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckDigits(6, c.text), c.result) << c.text;
}

TEST_F(Pin, NoCopyOfThePinOutlivesTheCall) {
  card->Expect("80 5E 01 00 07 97 53 18 FF 86 42 07", "90 00");
  int tries = 0;
  ASSERT_EQ(KXCardChangePIN(0, "975318", "864207", &tries), 0);
  // The command as bytes, and as the frame digits the reader was sent.
  const std::uint8_t asBytes[] = {0x97, 0x53, 0x18, 0xFF, 0x86, 0x42, 0x07};
  const char asDigits[] = "975318??864207";
  EXPECT_FALSE(StackHolds(asBytes, sizeof asBytes));
  EXPECT_FALSE(StackHolds(reinterpret_cast<const std::uint8_t*>(asDigits), sizeof asDigits - 1));
  EXPECT_EQ(card->Problems(), "");
}

}  // namespace
}  // namespace kx
