// The hidraw side of the Linux backend: report lengths from real report
// descriptors, and the device walk against a fake sysfs tree.
#include "platform/linux/hidraw.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "link/hid_link.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;
using platform::hidraw::ParseReportDescriptor;
using platform::hidraw::ReportDescriptorSummary;

TEST(ReportDescriptor, LengthsAreTheLongestReportPerDirectionPlusTheIdByte) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    bool ok;
    int input;
    int output;
    bool numbered;
  };
  const Case cases[] = {
      {"vendor-defined, 8 bytes each way",
       {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
        0x08, 0x95, 0x08, 0x81, 0x02, 0x09, 0x01, 0x75, 0x08, 0x95, 0x08, 0x91, 0x02, 0xC0},
       true,
       9,
       9,
       false},
      // A keyboard (report 1: modifiers, reserved byte, six keys; LEDs out)
      // and a consumer control (report 2: one 16-bit usage).
      {"keyboard and consumer control with report ids",
       {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
        0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01,
        0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75,
        0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00,
        0x29, 0x65, 0x81, 0x00, 0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00,
        0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0},
       true,
       9,
       2,
       true},
      {"64-byte security key",
       {0x06, 0xD0, 0xF1, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x20, 0x15, 0x00, 0x26,
        0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x21, 0x15, 0x00,
        0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xC0},
       true,
       65,
       65,
       false},
      {"push and pop",
       {0x75, 0x08, 0x95, 0x04, 0xA4, 0x95, 0x10, 0x81, 0x02, 0xB4, 0x91, 0x02},
       true,
       17,
       5,
       false},
      {"long item skipped",
       {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02},
       true,
       3,
       0,
       false},
      {"long item without data ends it",
       {0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0xFE, 0x00, 0x10},
       true,
       3,
       0,
       false},
      {"512-byte report", {0x75, 0x08, 0x96, 0x00, 0x02, 0x81, 0x02}, true, 513, 0, false},
      {"huge counts are capped",
       {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02},
       true,
       65536,
       0,
       false},
      {"ends inside an item", {0x75, 0x08, 0x96, 0x00}, false, 0, 0, false},
      {"pop without push", {0xB4}, false, 0, 0, false},
      {"report id 0", {0x85, 0x00}, false, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReportDescriptorSummary summary;
    ASSERT_EQ(ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &summary), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(summary.inputLength, c.input);
    EXPECT_EQ(summary.outputLength, c.output);
    EXPECT_EQ(summary.numbered, c.numbered);
  }
}

// A sysfs tree laid out as the kernel lays it out for USB HID devices, and
// a folder of device nodes (plain files: they open, but answer no ioctl).
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kx-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "dev");
    ResetLibraryForTests();
    ASSERT_TRUE(platform::hidraw::SetHidrawRoots((root_ / "sys").c_str(), (root_ / "dev").c_str()));
    fs::create_directories(root_ / "sys/class/hidraw");
  }
  void TearDown() override {
    ResetLibraryForTests();
    fs::remove_all(root_);
  }

  // hidrawN for a USB device with this HID_ID and release number ("" for
  // none); `node` makes its device node.
  void AddDevice(int number, const std::string& hidId, const std::string& bcdDevice, bool node) {
    const std::string name = "hidraw" + std::to_string(number);
    const fs::path usb = root_ / "sys/devices/usb1" / ("1-" + std::to_string(number));
    const fs::path hid = usb / "1-1:1.0" / ("0003:" + std::to_string(number) + ".0001");
    fs::create_directories(hid / "hidraw" / name);
    if (!hidId.empty())
      std::ofstream(hid / "uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=x\n";
    if (!bcdDevice.empty()) std::ofstream(usb / "bcdDevice") << bcdDevice << "\n";
    fs::create_directory_symlink(hid, hid / "hidraw" / name / "device");
    fs::create_directory_symlink(hid / "hidraw" / name, root_ / "sys/class/hidraw" / name);
    if (node) std::ofstream(root_ / "dev" / name) << "";
  }

  fs::path root_;
};

TEST_F(FakeSysfs, TheWalkListsEveryHidrawNodeInNumberOrderWithItsIdentity) {
  AddDevice(10, "0003:00007B15:00000201", "0102", true);
  AddDevice(2, "0003:00003C4E:00000101", "", true);
  AddDevice(3, "", "0200", false);  // no uevent: identity unknown
  std::ofstream(root_ / "sys/class/hidraw/not-a-node") << "";

  platform::HidDeviceList* list = platform::hidraw::ListOpen();
  ASSERT_NE(list, nullptr);
  struct Expected {
    std::string node;
    bool identityKnown;
    std::uint16_t vendorId, productId, version;
  };
  const Expected expected[] = {
      {"hidraw2", true, 0x3C4E, 0x0101, 0},
      {"hidraw3", false, 0, 0, 0x0200},
      {"hidraw10", true, 0x7B15, 0x0201, 0x0102},
  };
  int index = 0;
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.node);
    platform::HidInterface entry{};
    ASSERT_EQ(platform::hidraw::ListEntry(list, index++, &entry), platform::HidEntry::kFound);
    EXPECT_EQ(std::string(entry.path), (root_ / "dev" / e.node).string());
    EXPECT_EQ(entry.identityKnown, e.identityKnown);
    if (e.identityKnown) {
      EXPECT_EQ(entry.vendorId, e.vendorId);
      EXPECT_EQ(entry.productId, e.productId);
    }
    EXPECT_EQ(entry.version, e.version);
  }
  platform::HidInterface entry{};
  EXPECT_EQ(platform::hidraw::ListEntry(list, index, &entry), platform::HidEntry::kEnd);
  // One list at a time.
  EXPECT_EQ(platform::hidraw::ListOpen(), nullptr);
  platform::hidraw::ListRelease(list);

  // The links open their nodes; a plain file has no report descriptor.
  ASSERT_TRUE(ReaderHidLink.Open().ok());
  ASSERT_TRUE(PinPadPort.Open().ok());
  std::uint8_t buffer[64];
  EXPECT_EQ(ReaderHidLink.Read(buffer, sizeof buffer, 1).status, LinkStatus::kUnusable);
  EXPECT_EQ(Utf8(ReaderHidLink.StatusText()), "Could not get HID preparsed data!");
  EXPECT_TRUE(ReaderHidLink.Close().ok());
  EXPECT_TRUE(PinPadPort.Close().ok());
}

// A node that is a FIFO carries reports both ways (without report ids: a
// read hands them over with a 0 in front), through the native backend's HID
// calls as the links make them.
TEST_F(FakeSysfs, ReportsCrossANodeAndAWaitWithNothingEndsEmpty) {
  const fs::path node = root_ / "dev" / "hidraw0";
  ASSERT_EQ(mkfifo(node.c_str(), 0600), 0);
  const int peer = open(node.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(peer, 0);
  platform::Backend& os = platform::Native();
  platform::HidDevice* device = os.HidOpen(node.c_str());
  ASSERT_NE(device, nullptr);

  std::uint8_t report[9];
  EXPECT_EQ(os.HidReadReport(device, report, sizeof report, 20), 0) << "nothing came";
  ASSERT_EQ(write(peer,
                  "\x02"
                  "0000\x03",
                  6),
            6);
  EXPECT_EQ(os.HidReadReport(device, report, sizeof report, 200), 9);
  EXPECT_EQ(std::vector<std::uint8_t>(report, report + 9),
            (std::vector<std::uint8_t>{0, 0x02, '0', '0', '0', '0', 0x03, 0, 0}));

  // Discarding stops after 64 reads, as many reports as hidraw keeps.
  const std::vector<char> backlog(64 * 256 + 1, 'x');
  ASSERT_EQ(write(peer, backlog.data(), backlog.size()), static_cast<ssize_t>(backlog.size()));
  os.HidDiscardInput(device);
  char rest[512];
  EXPECT_EQ(read(peer, rest, sizeof rest), 1);
  os.HidClose(device);
  close(peer);
}

TEST_F(FakeSysfs, WithoutTheHidrawFolderNothingIsConnected) {
  fs::remove_all(root_ / "sys/class/hidraw");
  EXPECT_EQ(ReaderHidLink.Open().status, LinkStatus::kOpenFailed);
  EXPECT_EQ(Utf8(ReaderHidLink.StatusText()), "设备未连接!");
  // A node that cannot be opened counts as absent, and the backend keeps why.
  fs::create_directories(root_ / "sys/class/hidraw");
  AddDevice(0, "0003:00007B15:00000201", "", false);
  EXPECT_EQ(ReaderHidLink.Open().status, LinkStatus::kOpenFailed);
  platform::Backend& os = platform::Native();
  EXPECT_EQ(os.LastOsError(), ENOENT);
  EXPECT_STREQ(os.OsErrorReason(os.LastOsError()), "no such device");
}

// The udev rules give access to exactly the devices the links accept.
TEST(UdevRules, GrantTheIdentitiesTheLinksAccept) {
  std::ifstream rules(std::string(KX_SOURCE_DIR) + "/packaging/udev/60-kx-iccreader.rules");
  ASSERT_TRUE(rules);
  std::vector<std::pair<unsigned, unsigned>> granted;
  for (std::string line; std::getline(rules, line);) {
    unsigned vendor = 0;
    unsigned product = 0;
    const auto at = line.find("ATTRS{idVendor}==");
    if (line.empty() || line[0] == '#' || at == std::string::npos) continue;
    ASSERT_EQ(std::sscanf(line.c_str() + at, "ATTRS{idVendor}==\"%x\", ATTRS{idProduct}==\"%x\"",
                          &vendor, &product),
              2)
        << line;
    EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos) << line;
    granted.emplace_back(vendor, product);
  }
  std::vector<std::pair<unsigned, unsigned>> accepted;
  for (const HidLinkTraits* traits : {&kReaderHidTraits, &kPinPadTraits}) {
    for (const HidIdentity& id : traits->accepted) accepted.emplace_back(id.vendorId, id.productId);
  }
  EXPECT_EQ(granted, accepted);
}

}  // namespace
}  // namespace kx::test
