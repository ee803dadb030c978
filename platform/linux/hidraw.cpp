// HID devices on Linux through hidraw: one device node per HID interface,
// listed in sysfs. Reads return
// one input report each (without the id byte when the device does not
// number its reports), writes take one output report with its id byte.
//
// The list and the open devices live in small static tables: listing and
// opening allocate nothing.
#include "platform/linux/hidraw.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/state.h"
#include "core/wipe.h"
#include "platform/platform_state.h"
#include "platform/posix/posix_backend.h"

namespace kx::platform {

struct HidDeviceList {
  bool inUse = false;
  int count = 0;
  int numbers[256] = {};  // hidraw numbers, ascending
};

struct HidDevice {
  bool inUse = false;
  int fd = -1;
  HidCaps caps = HidCaps::kNoPreparsedData;
  int inputLength = 0;
  int outputLength = 0;
  bool numbered = false;
};

namespace hidraw {

using posix::MonotonicMs;
using posix::PollFor;

namespace {

// Items of a report descriptor, as their prefix byte without the size bits.
constexpr std::uint8_t kItemInput = 0x80;
constexpr std::uint8_t kItemOutput = 0x90;
constexpr std::uint8_t kItemReportSize = 0x74;
constexpr std::uint8_t kItemReportId = 0x84;
constexpr std::uint8_t kItemReportCount = 0x94;
constexpr std::uint8_t kItemPush = 0xA4;
constexpr std::uint8_t kItemPop = 0xB4;
constexpr std::uint8_t kLongItem = 0xFE;
constexpr int kMaxPushDepth = 8;
constexpr std::uint64_t kMaxReportBits = 8 * 65535;

// The reader link and the PIN pad link each hold one device, and an open
// walks one candidate at a time.
HidDevice devices[4];
HidDeviceList list;

const char* SysfsRoot() {
  return PlatformSettings.hidrawSysfsRoot[0] != '\0' ? PlatformSettings.hidrawSysfsRoot : "/sys";
}
const char* DeviceRoot() {
  return PlatformSettings.hidrawDeviceRoot[0] != '\0' ? PlatformSettings.hidrawDeviceRoot : "/dev";
}

// Reads a small text file whole, NUL-terminated. False when it cannot.
bool ReadSmallFile(const char* path, char* text, std::size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t used = 0;
  while (used + 1 < size) {
    const ssize_t n = read(fd, text + used, size - 1 - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  text[used] = '\0';
  return used > 0;
}

// "hidraw12" -> 12; -1 for any other name.
int HidrawNumber(const char* name) {
  if (std::strncmp(name, "hidraw", 6) != 0 || name[6] == '\0') return -1;
  int number = 0;
  for (const char* c = name + 6; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || number > 99999) return -1;
    number = number * 10 + (*c - '0');
  }
  return number;
}

void AddSorted(HidDeviceList* into, int number) {
  if (into->count == static_cast<int>(std::size(into->numbers))) return;
  int at = into->count;
  while (at > 0 && into->numbers[at - 1] > number) {
    into->numbers[at] = into->numbers[at - 1];
    --at;
  }
  into->numbers[at] = number;
  ++into->count;
}

// The vendor and product of a HID device's uevent ("HID_ID=0003:00003C4E:00000402").
bool IdentityFromUevent(const char* uevent, std::uint16_t* vendorId, std::uint16_t* productId) {
  for (const char* line = uevent; line != nullptr && *line != '\0';) {
    unsigned bus = 0;
    unsigned long vendor = 0;
    unsigned long product = 0;
    if (std::sscanf(line, "HID_ID=%x:%lx:%lx", &bus, &vendor, &product) == 3) {
      *vendorId = static_cast<std::uint16_t>(vendor & 0xFFFF);
      *productId = static_cast<std::uint16_t>(product & 0xFFFF);
      return true;
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return false;
}

}  // namespace

namespace {

// One short item of a report descriptor: its prefix without the size bits,
// and its value (little-endian, 0 to 4 bytes).
struct Item {
  std::uint8_t tag = 0;
  std::uint32_t value = 0;
};

// Takes the item at `*at`, moving past it. A long item comes back as its
// prefix alone: no item this parser reads is long. False for an item that
// runs past the end.
bool NextItem(const std::uint8_t* descriptor, std::size_t size, std::size_t* at, Item* item) {
  const std::uint8_t prefix = descriptor[(*at)++];
  if (prefix == kLongItem) {
    if (size - *at < 2) return false;
    const std::size_t length = descriptor[*at];
    *at += 2;
    if (size - *at < length) return false;
    *at += length;
    *item = Item{kLongItem, 0};
    return true;
  }
  const std::size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
  if (size - *at < length) return false;
  item->tag = prefix & 0xFC;
  item->value = 0;
  for (std::size_t k = 0; k < length; ++k) {
    item->value |= std::uint32_t{descriptor[*at + k]} << (8 * k);
  }
  *at += length;
  return true;
}

// The state the descriptor's items build up: the global items that size the
// reports (with their Push and Pop stack) and each report's bits so far.
class ReportBits {
 public:
  // False for an item that makes the descriptor unusable; items that do not
  // size reports are passed over.
  bool Apply(const Item& item) {
    switch (item.tag) {
      case kItemReportSize:
        globals_.reportSize = item.value;
        return true;
      case kItemReportCount:
        globals_.reportCount = item.value;
        return true;
      case kItemReportId:
        if (item.value == 0 || item.value > 255) return false;
        globals_.reportId = static_cast<std::uint8_t>(item.value);
        numbered_ = true;
        return true;
      case kItemPush:
        if (depth_ == kMaxPushDepth) return false;
        pushed_[depth_++] = globals_;
        return true;
      case kItemPop:
        if (depth_ == 0) return false;
        globals_ = pushed_[--depth_];
        return true;
      case kItemInput:
      case kItemOutput: {
        std::uint64_t& total = bits_[globals_.reportId][item.tag == kItemInput ? 0 : 1];
        total = std::min(kMaxReportBits, total + std::uint64_t{globals_.reportSize} *
                                                     std::uint64_t{globals_.reportCount});
        return true;
      }
      default:
        return true;
    }
  }

  // The longest report of each direction, in bytes with the report-id byte.
  void Summarise(ReportDescriptorSummary* summary) const {
    int longest[2] = {0, 0};
    for (const auto& report : bits_) {
      for (int direction = 0; direction < 2; ++direction) {
        longest[direction] =
            std::max(longest[direction], static_cast<int>((report[direction] + 7) / 8));
      }
    }
    summary->inputLength = longest[0] > 0 ? longest[0] + 1 : 0;
    summary->outputLength = longest[1] > 0 ? longest[1] + 1 : 0;
    summary->numbered = numbered_;
  }

 private:
  struct Globals {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
  };
  Globals globals_;
  Globals pushed_[kMaxPushDepth];
  int depth_ = 0;
  std::uint64_t bits_[256][2] = {};  // [report id][input, output]
  bool numbered_ = false;
};

}  // namespace

bool ParseReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                           ReportDescriptorSummary* summary) {
  ReportBits reports;
  for (std::size_t at = 0; at < size;) {
    Item item;
    if (!NextItem(descriptor, size, &at, &item) || !reports.Apply(item)) return false;
  }
  reports.Summarise(summary);
  return true;
}

bool SetHidrawRoots(const char* sysfsRoot, const char* deviceRoot) {
  const auto length = [](const char* path) {
    return path == nullptr ? 0 : strnlen(path, kMaxDevicePathLength + 1);
  };
  if (length(sysfsRoot) > static_cast<std::size_t>(kMaxDevicePathLength) ||
      length(deviceRoot) > static_cast<std::size_t>(kMaxDevicePathLength)) {
    return false;
  }
  std::snprintf(PlatformSettings.hidrawSysfsRoot, kMaxDevicePathLength + 1, "%s",
                sysfsRoot == nullptr ? "" : sysfsRoot);
  std::snprintf(PlatformSettings.hidrawDeviceRoot, kMaxDevicePathLength + 1, "%s",
                deviceRoot == nullptr ? "" : deviceRoot);
  return true;
}

HidDeviceList* ListOpen() {
  if (list.inUse) {
    errno = EBUSY;
    return nullptr;
  }
  char path[kHidPathSize];
  std::snprintf(path, sizeof path, "%s/class/hidraw", SysfsRoot());
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  list = HidDeviceList{};
  if (fd < 0) {
    // Without the hidraw driver there is no such folder, and no device.
    if (errno != ENOENT) return nullptr;
    list.inUse = true;
    return &list;
  }
  alignas(8) char entries[4096];
  for (;;) {
    const ssize_t n = getdents64(fd, entries, sizeof entries);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + offset);
      const int number = HidrawNumber(entry->d_name);
      if (number >= 0) AddSorted(&list, number);
      offset += entry->d_reclen;
    }
  }
  close(fd);
  list.inUse = true;
  return &list;
}

HidEntry ListEntry(HidDeviceList* from, int index, HidInterface* entry) {
  if (index < 0 || index >= from->count) return HidEntry::kEnd;
  const int number = from->numbers[index];
  const int written =
      std::snprintf(entry->path, sizeof entry->path, "%s/hidraw%d", DeviceRoot(), number);
  if (written < 0 || written >= static_cast<int>(sizeof entry->path)) return HidEntry::kNoPath;

  char path[kHidPathSize];
  char text[4096];
  std::snprintf(path, sizeof path, "%s/class/hidraw/hidraw%d/device/uevent", SysfsRoot(), number);
  entry->identityKnown = ReadSmallFile(path, text, sizeof text) &&
                         IdentityFromUevent(text, &entry->vendorId, &entry->productId);
  // The USB device two levels above the HID device knows its release number.
  std::snprintf(path, sizeof path, "%s/class/hidraw/hidraw%d/device/../../bcdDevice", SysfsRoot(),
                number);
  entry->version = ReadSmallFile(path, text, sizeof text)
                       ? static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16))
                       : 0;
  return HidEntry::kFound;
}

void ListRelease(HidDeviceList* from) {
  from->inUse = false;
}

HidDevice* Open(const char* path) {
  HidDevice* device = nullptr;
  for (HidDevice& candidate : devices) {
    if (!candidate.inUse) {
      device = &candidate;
      break;
    }
  }
  if (device == nullptr) {
    errno = EMFILE;
    return nullptr;
  }
  const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;

  *device = HidDevice{};
  device->inUse = true;
  device->fd = fd;
  int size = 0;
  hidraw_report_descriptor descriptor{};
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) != 0 || size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
    return device;
  }
  descriptor.size = static_cast<std::uint32_t>(size);
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) != 0) return device;
  ReportDescriptorSummary summary;
  if (!ParseReportDescriptor(descriptor.value, descriptor.size, &summary)) {
    device->caps = HidCaps::kNoCapabilities;
    return device;
  }
  device->caps = HidCaps::kOk;
  device->inputLength = summary.inputLength;
  device->outputLength = summary.outputLength;
  device->numbered = summary.numbered;
  return device;
}

HidCaps ReportLengths(HidDevice* device, HidReportLengths* lengths) {
  *lengths = HidReportLengths{device->inputLength, device->outputLength, true};
  return device->caps;
}

void DiscardInput(HidDevice* device) {
  std::uint8_t scratch[256];
  // hidraw keeps at most 64 reports; a device that keeps sending is left
  // to the read.
  for (int i = 0; i < 64 && read(device->fd, scratch, sizeof scratch) > 0; ++i) {
  }
  WipeSecret(scratch, sizeof scratch);
}

// hidraw hands a write to the device synchronously: poll reports a hidraw
// node writable at once, and the USB stack's own time-out (5 s) bounds a
// device that does not take the report.
int WriteReport(HidDevice* device, const std::uint8_t* report, int length,
                std::uint32_t timeoutMs) {
  const int ready = PollFor(device->fd, POLLOUT, timeoutMs);
  if (ready == 0) return 0;
  if (ready > 0 && (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) errno = ENODEV;
  if (ready < 0 || (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
  for (;;) {
    const ssize_t n = write(device->fd, report, static_cast<std::size_t>(length));
    if (n == length) return length;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n >= 0) errno = EIO;  // a device that takes part of a report is failing
    return -1;
  }
}

int ReadReport(HidDevice* device, std::uint8_t* report, int length, std::uint32_t timeoutMs) {
  // Without report ids the report arrives without its id byte: put the 0
  // back in front, as the other platforms deliver it.
  const int offset = device->numbered ? 0 : 1;
  const std::uint64_t start = MonotonicMs();
  for (;;) {
    const std::uint64_t passed = MonotonicMs() - start;
    if (passed >= timeoutMs) return 0;
    const int ready = PollFor(device->fd, POLLIN, static_cast<std::uint32_t>(timeoutMs - passed));
    if (ready == 0) return 0;
    if (ready > 0 && (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) errno = ENODEV;
    if (ready < 0 || (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) return -1;
    const ssize_t n = read(device->fd, report + offset, static_cast<std::size_t>(length - offset));
    if (n > 0) {
      if (offset == 1) report[0] = 0;
      std::memset(report + offset + n, 0, static_cast<std::size_t>(length - offset - n));
      return length;
    }
    if (n == 0) errno = ENODEV;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return -1;
  }
}

void Close(HidDevice* device) {
  close(device->fd);
  *device = HidDevice{};
}

}  // namespace hidraw
}  // namespace kx::platform
