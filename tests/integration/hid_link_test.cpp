// The USB HID links on the simulated platform: opening against the accepted
// identities, report cutting and gathering, the first-report wait on the
// virtual clock, and the reader reached over USB through the C ABI.
#include "link/hid_link.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "link/link_result.h"
#include "link/reader_port.h"
#include "platform/sim/sim_hid.h"
#include "reader/commands.h"
#include "sim/card.h"
#include "sim/pin_pad.h"
#include "sim/reader.h"
#include "tests/support/gbk.h"
#include "tests/support/sim_fixture.h"

namespace kx {

void PrintTo(const LinkResult& r, std::ostream* os) {
  *os << "{status " << static_cast<int>(r.status) << ", count " << r.count << "}";
}

namespace {

using platform::sim::HidDeviceFaults;
using platform::sim::HidDeviceSetup;
using platform::sim::SimHidDevice;
using sim::Bytes;
using test::Utf8;

// The identities the library accepts, as the simulated devices name them.
constexpr HidDeviceSetup kReader7B15{platform::sim::kVendor7B15, platform::sim::kReaderProduct7B15};
constexpr HidDeviceSetup kReader3C4E{platform::sim::kVendor3C4E, platform::sim::kReaderProduct3C4E};
constexpr HidDeviceSetup kPad3C4E{platform::sim::kVendor3C4E, platform::sim::kPinPadProduct};
constexpr HidDeviceSetup kKeyboard{0x046D, 0xC31C};

const Bytes kAtr = {0x3B, 0x6C, 0x00, 0x00, 0x81, 0x01, 0x86, 0x02, 0x11, 0x22};

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// A report as the device sends it: report id 0, then `payload`.
Bytes Report(const std::string& payload) {
  Bytes report{0};
  report.insert(report.end(), payload.begin(), payload.end());
  return report;
}

class HidLinks : public test::SimFixture {
 protected:
  int foundPort = 0;  // where ConnectUserCard found the reader
  platform::sim::HidBus& bus() { return backend.Hid(); }

  SimHidDevice& Attach(HidDeviceSetup setup, HidDeviceFaults faults = {}) {
    SimHidDevice& device = bus().Attach(setup);
    device.faults = faults;
    return device;
  }

  // Opens `link` on a scripted device with these report lengths.
  SimHidDevice& Opened(HidLink& link, int inputLength, int outputLength = 9) {
    HidDeviceSetup setup = &link == &PinPadPort ? kPad3C4E : kReader7B15;
    setup.inputReportLength = inputLength;
    setup.outputReportLength = outputLength;
    SimHidDevice& device = Attach(setup);
    EXPECT_TRUE(link.Open().ok());
    return device;
  }

  static std::string Status(const HidLink& link) { return Utf8(link.StatusText()); }
};

// ---------------------------------------------------------------- open and close

TEST_F(HidLinks, OpenTakesTheFirstAcceptedIdentityAndReleasesEverythingElse) {
  struct Device {
    HidDeviceSetup setup;
    HidDeviceFaults faults;
  };
  struct Case {
    const char* name;
    std::vector<Device> devices;
    bool listUnavailable;
    bool endlessList;
    LinkStatus reader;  // ReaderHidLink.Open
    const char* readerText;
    LinkStatus pad;  // PinPadPort.Open
  };
  const HidDeviceFaults none;
  constexpr LinkStatus kOk = LinkStatus::kOk;
  constexpr LinkStatus kNone = LinkStatus::kOpenFailed;
  constexpr LinkStatus kNotFound = LinkStatus::kNotFound;
  constexpr LinkStatus kNoList = LinkStatus::kListFailed;
  const Case cases[] = {
      {"nothing attached", {}, false, false, kNone, "设备未连接!", kNone},
      {"only a pad", {{kPad3C4E, none}}, false, false, kNotFound, "设备未找到!", kOk},
      {"reader 7B15",
       {{kKeyboard, none}, {kReader7B15, none}},
       false,
       false,
       kOk,
       "设备连接成功!",
       kNotFound},
      {"reader 3C4E", {{kReader3C4E, none}}, false, false, kOk, "设备连接成功!", kNotFound},
      {"no list", {{kReader7B15, none}}, true, false, kNoList, "获取HID设备信息失败!", kNoList},
      {"path unreadable",
       {{kKeyboard, {.pathUnreadable = true}}, {kReader7B15, none}},
       false,
       false,
       kNoList,
       "获取HID设备细节信息失败!",
       kNoList},
      {"a failing step is passed over",
       {{kKeyboard, {.enumerationFails = true}}, {kReader7B15, none}},
       false,
       false,
       kOk,
       "设备连接成功!",
       kNotFound},
      {"a list without end is walked so far",
       {{kReader7B15, {.openFails = true}}},
       false,
       true,
       kNone,
       "设备未连接!",
       kNone},
      {"identity unreadable",
       {{kReader7B15, {.identityUnreadable = true}}},
       false,
       false,
       kNotFound,
       "设备未找到!",
       kNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    bus().listUnavailable = c.listUnavailable;
    bus().endlessList = c.endlessList;
    bus().listSteps = 0;
    std::vector<SimHidDevice*> attached;
    for (const Device& d : c.devices) attached.push_back(&Attach(d.setup, d.faults));

    EXPECT_EQ(ReaderHidLink.Open().status, c.reader);
    EXPECT_EQ(Status(ReaderHidLink), c.readerText);
    EXPECT_EQ(PinPadPort.Open().status, c.pad);
    EXPECT_EQ(bus().listsHeld, 0);
    EXPECT_LE(bus().listSteps, 2 * 256 + 2);
    // Only the accepted devices stay open, one per link.
    int open = 0;
    for (SimHidDevice* d : attached) open += d->opens;
    EXPECT_EQ(open, (c.reader == kOk) + (c.pad == kOk));
  }
}

TEST_F(HidLinks, UsbInitReportsTheLinkAndCloseWithoutDeviceIsMinus14) {
  EXPECT_EQ(KXReaderInitTest(100, 9600), -2);
  EXPECT_EQ(Utf8(ErrorText), "连接USB失败");
  EXPECT_EQ(LinkKind, LinkSide::Serial);
  EXPECT_EQ(ReaderHidLink.Close().status, LinkStatus::kNotOpen);
  EXPECT_EQ(Status(ReaderHidLink), "设备未连接!");

  SimHidDevice& reader = Attach(kReader7B15);
  ASSERT_EQ(KXReaderInitTest(100, 9600), 0);
  EXPECT_EQ(LinkKind, LinkSide::Hid);
  // A second open does not keep the first device open beside the new one.
  ASSERT_EQ(KXReaderInitTest(100, 9600), 0);
  EXPECT_EQ(reader.opens, 1);
  EXPECT_EQ(KXReaderPowerOff(0), 0);
  EXPECT_EQ(reader.opens, 0);
  EXPECT_EQ(Status(ReaderHidLink), "设备已断开!");
  EXPECT_EQ(ReaderHidLink.Close().status, LinkStatus::kNotOpen);
}

// ---------------------------------------------------------------- reports

TEST_F(HidLinks, WriteCutsTheBytesIntoZeroPaddedReports) {
  struct Case {
    int outputLength;
    int count;
    std::vector<int> payloads;
  };
  const Case cases[] = {
      {9, 20, {8, 8, 4}}, {9, 0, {}}, {9, 16, {8, 8}}, {2, 3, {1, 1, 1}}, {256, 300, {255, 45}},
  };
  Bytes bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    SimHidDevice& device = Opened(ReaderHidLink, 9, c.outputLength);
    EXPECT_EQ(ReaderHidLink.Write(bytes.data(), c.count), LinkDone(c.count));
    ASSERT_EQ(device.written.size(), c.payloads.size());
    int sent = 0;
    for (std::size_t r = 0; r < c.payloads.size(); ++r) {
      Bytes expected(static_cast<std::size_t>(c.outputLength), 0);
      std::copy_n(bytes.begin() + sent, c.payloads[r], expected.begin() + 1);
      EXPECT_EQ(device.written[r], expected) << "report " << r;
      sent += c.payloads[r];
    }
  }
}

TEST_F(HidLinks, ReadGathersReportsUntilOneEndsInEtxOrPadding) {
  struct Case {
    const char* name;
    int inputLength;
    std::vector<std::string> reports;  // payloads, zero-padded to L_in - 1
    int capacity;
    LinkResult result;
    std::string stored;  // the answer's bytes, NUL after them
    std::size_t leftUnread;
  };
  const std::string stx = "\x02";
  const std::string etx = "\x03";
  const Case cases[] = {
      {"30 characters in 8+8+8+6",
       9,
       {"ABCDEFGH", "IJKLMNOP", "QRSTUVWX", "YZ0123"},
       1024,
       LinkDone(32),
       "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123",
       0},
      {"STX at byte 3: header dropped",
       9,
       {std::string("\x00\x07", 2) + stx + "123" + etx},
       1024,
       LinkDone(6),
       stx + "123" + etx,
       0},
      {"STX at byte 1: kept",
       9,
       {stx + "123456" + etx},
       1024,
       LinkDone(8),
       stx + "123456" + etx,
       0},
      {"ETX in the last byte ends it", 5, {"abc" + etx, "next"}, 1024, LinkDone(4), "abc" + etx, 1},
      {"too long for the buffer",
       9,
       {"ABCDEFGH", "IJKLMNOP", "QRSTUVWX", "YZ"},
       20,
       LinkFailed(LinkStatus::kTooLong, 16),
       "ABCDEFGHIJKLMNOP",
       2},
      {"first report too long", 9, {"ABCDEFGH"}, 8, LinkFailed(LinkStatus::kTooLong), "", 0},
      {"exactly as long as the buffer", 9, {"ABCDEFG" + etx}, 9, LinkDone(8), "ABCDEFG" + etx, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    SimHidDevice& device = Opened(ReaderHidLink, c.inputLength);
    for (const std::string& payload : c.reports) device.SendReport(Report(payload));
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.capacity) + 8, 0xEE);
    EXPECT_EQ(ReaderHidLink.Read(buffer.data(), c.capacity, 5), c.result);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.stored.size())),
              Text(c.stored));
    EXPECT_EQ(buffer[c.stored.size()], 0);
    // Nothing past the caller's buffer is touched.
    EXPECT_EQ(buffer[static_cast<std::size_t>(c.capacity)], 0xEE);
    EXPECT_EQ(device.Pending(), c.leftUnread);
  }
}

TEST_F(HidLinks, DevicesWithUnusableReportsAreRefused) {
  struct Case {
    const char* name;
    int inputLength;
    int outputLength;
    HidDeviceFaults faults;
    LinkStatus write;
    LinkStatus read;
    const char* readText;
  };
  constexpr LinkStatus kOk = LinkStatus::kOk;
  constexpr LinkStatus kUnusable = LinkStatus::kUnusable;
  constexpr LinkStatus kTimedOut = LinkStatus::kTimedOut;
  const Case cases[] = {
      {"256-byte reports", 256, 256, {}, kOk, kTimedOut, "超时退出!"},
      {"input report over 256", 257, 9, {}, kOk, kUnusable, "-40!"},
      {"output report over 256", 9, 300, {}, kUnusable, kTimedOut, "超时退出!"},
      {"one-byte reports", 1, 1, {}, kUnusable, kUnusable, "-40!"},
      {"no output report", 9, 0, {}, kUnusable, kTimedOut, "超时退出!"},
      {"no preparsed data",
       9,
       9,
       {.noPreparsedData = true},
       kUnusable,
       kUnusable,
       "Could not get HID preparsed data!"},
      {"no capabilities", 9, 9, {.noCapabilities = true}, kUnusable, kUnusable, "-40!"},
      {"output report not settable",
       9,
       9,
       {.outputReportUnsettable = true},
       kUnusable,
       kTimedOut,
       "超时退出!"},
  };
  const std::uint8_t bytes[3] = {1, 2, 3};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    SimHidDevice& device = Opened(ReaderHidLink, c.inputLength, c.outputLength);
    device.faults = c.faults;
    EXPECT_EQ(ReaderHidLink.Write(bytes, 3).status, c.write);
    std::uint8_t buffer[1024];
    EXPECT_EQ(ReaderHidLink.Read(buffer, sizeof buffer, 1).status, c.read);
    EXPECT_EQ(Status(ReaderHidLink), c.readText);
  }
  ResetLibraryForTests();
  EXPECT_EQ(ReaderHidLink.Write(bytes, 3).status, LinkStatus::kNotOpen);
  EXPECT_EQ(Status(ReaderHidLink), "设备尚未连接!");
  std::uint8_t buffer[16] = {0xEE};
  EXPECT_EQ(ReaderHidLink.Read(buffer, sizeof buffer, 1).status, LinkStatus::kNotOpen);
  EXPECT_EQ(buffer[0], 0);  // an empty answer
}

// ---------------------------------------------------------------- waits

TEST_F(HidLinks, FirstReportWaitEndsOnItsLimitOrEscapeFollowUpsOnlyOnSilence) {
  struct Case {
    const char* name;
    bool pad;
    std::vector<std::pair<std::uint32_t, std::string>> reports;  // delay, payload
    std::int64_t escapeAt;                                       // -1: never
    int timeoutSeconds;
    LinkResult result;
    std::uint32_t elapsed;
    const char* text;  // the status text, "" when the read leaves it alone
  };
  const Case cases[] = {
      {"silent reader", false, {}, -1, 5, LinkFailed(LinkStatus::kTimedOut), 6000, "超时退出!"},
      // The pad sleeps 10 ms before each 1000 ms step.
      {"silent pad", true, {}, -1, 5, LinkFailed(LinkStatus::kTimedOut), 5060, "超时退出!"},
      {"escape in the first wait",
       false,
       {},
       2500,
       60,
       LinkFailed(LinkStatus::kEscape),
       3000,
       "ESC退出!"},
      {"escape at the pad", true, {}, 2500, 60, LinkFailed(LinkStatus::kEscape), 3040, "ESC退出!"},
      {"escape during a follow-up",
       false,
       {{0, "12345678"}, {900, "9"}},
       100,
       5,
       LinkDone(16),
       900,
       ""},
      {"late answer inside the limit", true, {{4500, "1"}}, -1, 5, LinkDone(8), 4500, ""},
      {"follow-up never comes",
       false,
       {{1500, "12345678"}},
       -1,
       5,
       LinkFailed(LinkStatus::kTimedOut, 8),
       2500,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    HidLink& link = c.pad ? PinPadPort : ReaderHidLink;
    SimHidDevice& device = Opened(link, 9);
    for (const auto& [delay, payload] : c.reports) device.SendReport(Report(payload), delay);
    const std::uint32_t start = backend.Now();
    if (c.escapeAt >= 0) backend.PressEscapeAt(start + static_cast<std::uint32_t>(c.escapeAt));
    std::uint8_t buffer[256];
    const std::string before = Status(link);
    EXPECT_EQ(link.Read(buffer, sizeof buffer, c.timeoutSeconds), c.result);
    EXPECT_EQ(backend.Now() - start, c.elapsed);
    EXPECT_EQ(Status(link), *c.text ? std::string(c.text) : before);
  }
}

TEST_F(HidLinks, StalledWriteCostsItsWaitAndFailingDeviceEndsTheReadAtOnce) {
  SimHidDevice& device = Opened(ReaderHidLink, 9);
  device.faults.stalledWrites = 1;
  const std::uint8_t bytes[20] = {};
  std::uint32_t start = backend.Now();
  EXPECT_EQ(ReaderHidLink.Write(bytes, 20).status, LinkStatus::kTimedOut);
  EXPECT_EQ(backend.Now() - start, 1000u);
  EXPECT_TRUE(device.written.empty());

  device.faults.unplugged = true;
  std::uint8_t buffer[64];
  start = backend.Now();
  EXPECT_EQ(ReaderHidLink.Read(buffer, sizeof buffer, 60).status, LinkStatus::kDeviceGone);
  EXPECT_EQ(backend.Now() - start, 0u);
  EXPECT_EQ(device.cancels, 2);  // the stalled write and the failed read each cancel
  EXPECT_EQ(ReaderHidLink.Write(bytes, 20).status, LinkStatus::kDeviceGone);
}

// ---------------------------------------------------------------- the reader over USB

TEST_F(HidLinks, TheReaderAnswersOverUsbUnderBothIdentities) {
  struct Case {
    HidDeviceSetup setup;
  };
  const Case cases[] = {
      {kReader7B15},
      {{0x3C4E, 0x0402, 0x0100, 9, 9, true}},
      {{0x7B15, 0x0201, 0x0100, 33, 17, false}},
      {{0x3C4E, 0x0402, 0x0100, 65, 65, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setup.inputReportLength);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    sim::Reader usbReader;
    usbReader.Insert(0, std::make_shared<sim::FixedStatusCard>(kAtr));
    SimHidDevice& device = bus().Attach(c.setup, &usbReader);
    ASSERT_EQ(KXReaderInitTest(100, 9600), 0);
    // A report left over from an earlier answer is not taken for this one.
    device.SendReport(Report("\x02<<<"));

    char status = '0';
    EXPECT_EQ(GetReaderStatus(0, &status), 0) << Utf8(ErrorText);
    EXPECT_EQ(status, '2');
    EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + ResetAnswerLength), kAtr);
    EXPECT_EQ(usbReader.Commands().size(), 1u);
    EXPECT_TRUE(backend.Writes(1).empty());
    KXReaderPowerOff(0);
  }
}

TEST_F(HidLinks, SearchTriesUsbFirstThenTheRememberedPortThenTheScan) {
  struct Case {
    const char* name;
    bool usbReader;
    bool usbCard;
    int rememberedPort;
    int result;
    const char* text;
    std::vector<int> portsOpened;  // COM ports that saw an open
    int comPortAfter;
  };
  const Case cases[] = {
      {"USB reader with a card", true, true, 1, 0, "", {}, 1},
      {"USB reader without a card", true, false, 1, -6, "未插入用户卡", {}, 1},
      {"no USB: the remembered port", false, false, 3, 0, "", {3}, 3},
      {"no USB, remembered port empty: the scan", false, false, 7, 0, "", {1}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    sim::Reader usbReader;
    sim::Reader third;
    if (c.usbCard) usbReader.Insert(0, std::make_shared<sim::FixedStatusCard>(kAtr));
    if (c.usbReader) bus().Attach(kReader3C4E, &usbReader);
    reader.Insert(0, std::make_shared<sim::FixedStatusCard>(kAtr));
    third.Insert(0, std::make_shared<sim::FixedStatusCard>(kAtr));
    backend.Attach(3, &third);
    ComPortNumber = c.rememberedPort;
    const int opensBefore[2] = {backend.OpenCount(1), backend.OpenCount(3)};

    EXPECT_EQ(ConnectUserCard(&foundPort), c.result);
    EXPECT_EQ(Utf8(ErrorText), c.text);
    // Nothing found: nothing for the closing to open again.
    if (c.result != 0) {
      EXPECT_EQ(foundPort, 0);
    }
    std::vector<int> opened;
    if (backend.OpenCount(1) > opensBefore[0]) opened.push_back(1);
    if (backend.OpenCount(3) > opensBefore[1]) opened.push_back(3);
    EXPECT_EQ(opened, c.portsOpened);
    EXPECT_EQ(ComPortNumber, c.comPortAfter);
    DisconnectUserCard(foundPort);
    backend.Detach(3);
  }
}

// An all-in-one read over USB ends with both cards off and the device
// closed, whether the card read well or its master file could not be
// selected (the link is then dropped, and opened again just to power off).
TEST_F(HidLinks, AnAllInOneReadOverUsbEndsWithBothCardsOffEvenAfterAFailedSelection) {
  for (const std::uint8_t sw1 : {0x90, 0x6A}) {
    SCOPED_TRACE(sw1);
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    bus().DetachAll();
    sim::Reader usbReader;
    usbReader.Insert(0,
                     std::make_shared<sim::FixedStatusCard>(kAtr, sw1, sw1 == 0x90 ? 0x00 : 0x82));
    usbReader.Insert(16, std::make_shared<sim::FixedStatusCard>(kAtr));
    SimHidDevice& device = bus().Attach(kReader3C4E, &usbReader);
    unsigned char out[64] = {};
    KXReadInfoAIO("3F00", "EF05", 1, out);
    const std::vector<Bytes> commands = usbReader.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], (Bytes{0x32, 0x23, 0x00})) << "the user card off";
    EXPECT_EQ(commands.back(), (Bytes{0x32, 0x23, 0x10})) << "the PSAM off";
    EXPECT_EQ(device.opens, 0) << "the device left open";
    EXPECT_TRUE(backend.Writes(1).empty());
  }
}

// ---------------------------------------------------------------- the pad's link

TEST_F(HidLinks, PadAnswersReachTheLinkReportByReport) {
  sim::PinPad pad;
  pad.script().typed = "1234567890";
  pad.script().perKeyMs = 300;
  bus().Attach(kPad3C4E, &pad);
  ASSERT_TRUE(PinPadPort.Open().ok());
  const std::uint8_t ask[2] = {0x1B, 'I'};
  ASSERT_EQ(PinPadPort.Write(ask, 2), LinkDone(2));
  std::uint8_t answer[256];
  const std::uint32_t start = backend.Now();
  // The answer comes with Enter, in two reports.
  EXPECT_EQ(PinPadPort.Read(answer, sizeof answer, 60), LinkDone(16));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(answer)),
            "\x02"
            "1234567890\x03");
  EXPECT_EQ(backend.Now() - start, 3000u);
  EXPECT_EQ(pad.commands(), std::vector<std::string>{"ESC I"});
  EXPECT_TRUE(PinPadPort.Close().ok());
}

}  // namespace
}  // namespace kx
