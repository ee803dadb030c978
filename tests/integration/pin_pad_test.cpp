// The PIN pad dialogue through the C ABI against the simulated pad on the
// simulated platform's USB, the verify that falls back to it, and the wipe
// of every copy of the typed PIN.
#include "sim/pin_pad.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "card/pin.h"
#include "core/state.h"
#include "platform/sim/sim_hid.h"
#include "tests/integration/card_fixture.h"
#include "tests/support/stack_scan.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

using platform::sim::HidDeviceFaults;
using platform::sim::SimHidDevice;
using test::Gbk;
using test::StackHolds;

class PinPadDialogue : public test::CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    padDevice = &backend.Hid().Attach({0x7B15, 0x0101}, &pad);
  }

  sim::PinPad pad;
  SimHidDevice* padDevice = nullptr;
};

TEST_F(PinPadDialogue, ReadPasswordTakesTheFirstSixCharactersBetweenStxAndEtx) {
  struct Case {
    const char* name;
    sim::PinPadScript script;
    int mode;
    HidDeviceFaults faults;
    std::int64_t escapeAt;  // -1: never
    int result;
    const char* pin;  // on success
    std::vector<std::string> commands;
    std::uint32_t elapsed;
  };
  const Case cases[] = {
      {"six digits", {.typed = "123456"}, 1, {}, -1, 0, "123456", {"ESC I"}, 10},
      {"mode 0", {.typed = "654321"}, 0, {}, -1, 0, "654321", {"ESC E"}, 10},
      {"any other mode", {.typed = "654321"}, 7, {}, -1, 0, "654321", {"ESC E"}, 10},
      {"eight digits", {.typed = "12345678"}, 1, {}, -1, 0, "123456", {"ESC I"}, 10},
      {"four digits", {.typed = "1234"}, 1, {}, -1, -15, "", {"ESC I"}, 10},
      {"cancelled on the pad", {.cancelled = true}, 1, {}, -1, -4, "", {"ESC I"}, 10},
      {"slow but in time",
       {.typed = "135790", .firstKeyMs = 5000, .perKeyMs = 9000},
       1,
       {},
       -1,
       0,
       "135790",
       {"ESC I"},
       59000},
      {"too slow", {.typed = "135790", .perKeyMs = 11000}, 1, {}, -1, -4, "", {"ESC I"}, 60610},
      {"nobody types", {.silent = true}, 1, {}, -1, -4, "", {"ESC I"}, 60610},
      {"escape on the workstation", {.silent = true}, 1, {}, 3000, -4, "", {"ESC I"}, 3040},
      {"prompt not written", {}, 1, {.stalledWrites = 1}, -1, -2, "", {"83"}, 1000},
      // 31 reports of 8 bytes fill the library's 256-byte answer but its NUL.
      {"longest answer", {.typed = std::string(246, '7')}, 1, {}, -1, 0, "777777", {"ESC I"}, 10},
      {"one byte longer", {.typed = std::string(247, '7')}, 1, {}, -1, -4, "", {"ESC I"}, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pad.script() = c.script;
    pad.ClearCommands();
    padDevice->faults = c.faults;
    const std::uint32_t start = backend.Now();
    if (c.escapeAt >= 0) backend.PressEscapeAt(start + static_cast<std::uint32_t>(c.escapeAt));
    char pin[16];
    std::memset(pin, 'x', sizeof pin);
    EXPECT_EQ(KXReadPassword(c.mode, pin), c.result);
    if (c.result == 0) {
      EXPECT_STREQ(pin, c.pin);
    }
    EXPECT_EQ(pad.commands(), c.commands);
    EXPECT_EQ(backend.Now() - start, c.elapsed);
    EXPECT_EQ(padDevice->opens, 0);  // the pad is closed again
  }
  backend.Hid().DetachAll();
  char pin[8];
  EXPECT_EQ(KXReadPassword(1, pin), -2);
}

TEST_F(PinPadDialogue, VerifyAsksThePadOnceAndOnlyWhileTriesAreLeft) {
  struct Case {
    const char* firstReply;
    const char* typed;
    const char* secondApdu;  // nullptr: no second VERIFY
    int result;
    bool padAsked;
  };
  const Case cases[] = {
      {"63 C3", "975318", "00 20 00 00 03 97 53 18", 0, true},
      {"63 C1", "1234", nullptr, -15, true},
      {"63 C0", "975318", nullptr, -25536, false},
      {"69 83", "975318", nullptr, -27011, false},
  };
  const std::uint8_t preset[3] = {0x12, 0x34, 0x56};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstReply);
    pad.script().typed = c.typed;
    pad.ClearCommands();
    card->Expect("00 20 00 00 03 12 34 56", c.firstReply);
    if (c.secondApdu != nullptr) card->Expect(c.secondApdu, "90 00");
    ErrorTextClear();
    EXPECT_EQ(VerifyPinWithPad(test::Op(), 0, 0, 3, preset), c.result);
    EXPECT_EQ(pad.commands(),
              c.padAsked ? std::vector<std::string>{"ESC I"} : std::vector<std::string>{});
    EXPECT_EQ(std::string(ErrorText) == Gbk("密码键盘输入密码出错"), c.result == -15);
  }
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(PinPadDialogue, NoCopyOfTheTypedPinOutlivesTheCall) {
  pad.script().typed = "975318";
  char pin[8] = {};
  ASSERT_EQ(KXReadPassword(1, pin), 0);
  const char typed[] = "975318";
  EXPECT_FALSE(StackHolds(reinterpret_cast<const std::uint8_t*>(typed), 6));
  std::memset(pin, 0, sizeof pin);

  pad.script().typed = "864207";
  card->Expect("00 20 00 00 03 12 34 56", "63 C2").Expect("00 20 00 00 03 86 42 07", "90 00");
  const std::uint8_t preset[3] = {0x12, 0x34, 0x56};
  ASSERT_EQ(VerifyPinWithPad(test::Op(), 0, 0, 3, preset), 0);
  const std::uint8_t asBytes[] = {0x86, 0x42, 0x07};
  const char asDigits[] = "864207";
  EXPECT_FALSE(StackHolds(asBytes, sizeof asBytes));
  EXPECT_FALSE(StackHolds(reinterpret_cast<const std::uint8_t*>(asDigits), 6));
  EXPECT_EQ(card->Problems(), "");
}

}  // namespace
}  // namespace kx
