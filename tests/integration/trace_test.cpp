// The trace through the C ABI: with a sink installed, every command that
// carries PIN data (VERIFY, the PIN change and reset, the PSAM's encipherment
// of the PIN block, the pad's answer) shows its data as "**" in the APDU and
// frame lines, while status words and export results still show.
#include "core/trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "card/pin.h"
#include "platform/sim/sim_hid.h"
#include "sim/pin_pad.h"
#include "tests/integration/card_fixture.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

std::string traced;

void Capture(const char* line) {
  traced += line;
  traced += '\n';
}

class Trace : public test::CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    padDevice = &backend.Hid().Attach({0x7B15, 0x0101}, &pad);
    traced.clear();
    SetTraceSink(&Capture);
  }
  sim::PinPad pad;
  platform::sim::SimHidDevice* padDevice = nullptr;
};

int RunApdu(const std::vector<std::uint8_t>& apdu) {
  unsigned char reply[KX_APDU_REPLY_SIZE];
  int length = 0;
  return KXRunApdu(0, static_cast<int>(apdu.size()), apdu.data(), &length, reply);
}

TEST_F(Trace, PinDataNeverReachesTheTrace) {
  struct Case {
    const char* name;
    const char* apdu;  // what the card expects
    const char* reply;
    std::function<int()> call;
    int result;
    std::vector<std::string> shown;  // lines (or parts) the trace must hold
  };
  const std::uint8_t preset[3] = {0x12, 0x34, 0x56};
  const Case cases[] = {
      {"verify",
       "00 20 00 00 03 97 53 18",
       "63 C2",
       [] {
         int tries = 0;
         return KXCardVerifyPIN(0, "975318", &tries);
       },
       -11,
       {"apdu slot 0 > 00 20 00 00 03 ** ** ** < SW 63C2 = -25538",
        "frame > APDU slot 0: <STX>000;3226000020000003********<ETX>", "frame < <STX>",
        "export KXCardVerifyPIN = -11"}},
      {"change",
       "80 5E 01 00 07 97 53 18 FF 86 42 08",
       "90 00",
       [] {
         int tries = 0;
         return KXCardChangePIN(0, "975318", "864208", &tries);
       },
       0,
       {"apdu slot 0 > 80 5E 01 00 07 ** ** ** ** ** ** ** < SW 9000 = 0",
        "export KXCardChangePIN = 0"}},
      {"raw verify",
       "00 20 00 00 03 97 53 18",
       "90 00",
       [] {
         return RunApdu({0x00, 0x20, 0x00, 0x00, 0x03, 0x97, 0x53, 0x18});
       },
       0,
       {"export KXRunApdu = 0"}},
      {"PIN reset command",
       "84 24 00 01 0C 97 53 18 86 42 08 00 00 00 00 00 00",
       "90 00",
       [] {
         return RunApdu({0x84, 0x24, 0x00, 0x01, 0x0C, 0x97, 0x53, 0x18, 0x86, 0x42, 0x08, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00});
       },
       0,
       {"apdu slot 0 > 84 24 00 01 0C ** ** ** ** ** ** ** ** ** ** ** **"}},
      {"PIN block to the PSAM",
       "80 FA 00 00 10 03 97 53 18 80 00 00 00 11 22 33 44 55 66 77 88 00",
       "01 02 03 04 05 06 07 08 90 00",
       [] {
         return RunApdu({0x80, 0xFA, 0x00, 0x00, 0x10, 0x03, 0x97, 0x53, 0x18, 0x80, 0x00,
                         0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00});
       },
       0,
       {"< 01 02 03 04 05 06 07 08 SW 9000"}},
      {"a PSAM encipherment with P1 01 is no PIN block",
       "80 FA 01 00 10 11 22 33 44 55 66 77 88 11 22 33 44 55 66 77 88 00",
       "01 02 03 04 05 06 07 08 90 00",
       [] {
         return RunApdu({0x80, 0xFA, 0x01, 0x00, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                         0x77, 0x88, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00});
       },
       0,
       {"apdu slot 0 > 80 FA 01 00 10 11 22 33 44 55 66 77 88 11 22 33 44 55 66 77 88 00"}},
      {"challenge to the PSAM stays readable",
       "80 FA 00 00 08 11 22 33 44 55 66 77 88 00",
       "01 02 03 04 05 06 07 08 90 00",
       [] {
         return RunApdu(
             {0x80, 0xFA, 0x00, 0x00, 0x08, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00});
       },
       0,
       {"apdu slot 0 > 80 FA 00 00 08 11 22 33 44 55 66 77 88 00"}},
      {"typed on the pad",
       "00 20 00 00 03 12 34 56",
       "63 C3",
       [&preset] { return VerifyPinWithPad(test::Op(), 0, 0, 3, preset); },
       0,
       {"pin pad > ESC I < <STX>** ** ** ** ** **<ETX> = 0",
        "apdu slot 0 > 00 20 00 00 03 ** ** **"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    traced.clear();
    pad.script().typed = "975318";
    card->Expect(c.apdu, c.reply);
    if (std::string(c.name) == "typed on the pad") card->Expect("00 20 00 00 03 97 53 18", "90 00");
    EXPECT_EQ(c.call(), c.result);
    for (const std::string& line : c.shown) {
      EXPECT_NE(traced.find(line), std::string::npos) << line << "\nin\n" << traced;
    }
    // The PINs in every form a line could carry them: frame digits and
    // packed hex, spaced hex, ASCII codes.
    for (const char* pin : {"975318", "97 53 18", "393735333138", "39 37 35 33 31 38", "864208",
                            "86 42 08", "123456", "12 34 56"}) {
      EXPECT_EQ(traced.find(pin), std::string::npos) << pin << " in\n" << traced;
    }
  }
  EXPECT_EQ(card->Problems(), "");
}

// Bytes on the line outside printable ASCII (the space and DEL among them)
// show as hex, the printable ones as themselves.
TEST_F(Trace, UnprintableBytesShowAsHex) {
  reader.faults().garbageBeforeStx = {0x20, 0x21, 0x7E, 0x7F};
  reader.faults().remaining = 1;
  card->Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
  EXPECT_EQ(RunApdu({0x00, 0x84, 0x00, 0x00, 0x08}), 0);
  EXPECT_NE(traced.find("frame < <20>!~<7F><STX>"), std::string::npos) << traced;
}

// A pad that will not take its command was asked nothing and typed nothing.
TEST_F(Trace, APadThatTakesNoCommandTracesNoCharacters) {
  padDevice->faults.stalledWrites = 1;
  const std::uint8_t preset[3] = {0x12, 0x34, 0x56};
  card->Expect("00 20 00 00 03 12 34 56", "63 C3");  // the preset PIN refused: the pad's turn
  EXPECT_NE(VerifyPinWithPad(test::Op(), 0, 0, 3, preset), 0);
  EXPECT_NE(traced.find("pin pad > ESC I < no characters = -2"), std::string::npos) << traced;
}

// A port that does not open: the line says why, as the operating system
// told it, so support can tell a port another program holds from one that
// is not there.
TEST_F(Trace, AFailedOpenNamesTheSystemsReason) {
  struct Case {
    int port;
    int refusedWith;  // 0: the port is simply not there
    const char* line;
  };
  const Case cases[] = {
      {1, EBUSY,
       "link: COM1 does not open: device busy (another program holds the port) (os error 16)"},
      {1, EACCES,
       "link: COM1 does not open: access denied (no permission for the device) (os error 13)"},
      {9, 0, "link: COM9 does not open: no such device (os error 2)"},
      {100, 0,
       "link: USB reader does not open: access denied (no permission for the device) (os error "
       "13)"},
  };
  // A reader the system will not open beside the pad; the pad's own success
  // says nothing about it.
  backend.Hid().Attach({0x7B15, 0x0201}).faults.openFails = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    traced.clear();
    backend.RefuseOpen(c.port, c.refusedWith);
    EXPECT_EQ(KXReaderInitTest(c.port, 9600), -2);
    backend.RefuseOpen(c.port, 0);
    EXPECT_NE(traced.find(std::string(c.line) + "\n"), std::string::npos) << traced;
  }
  // A system that will not list its HID devices says why as well.
  traced.clear();
  backend.Hid().listUnavailable = true;
  EXPECT_EQ(KXReaderInitTest(100, 9600), -2);
  backend.Hid().listUnavailable = false;
  EXPECT_NE(traced.find("link: USB reader does not open: input/output error (the device was "
                        "pulled out or hung up) (os error 5)\n"),
            std::string::npos)
      << traced;
}

}  // namespace
}  // namespace kx
