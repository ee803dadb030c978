// The HID links over the platform seam: enumeration, report cutting and
// gathering, the first-report wait. Everything here serves both links; what
// differs between them is in their traits.
#include "link/hid_link.h"

#include <algorithm>
#include <cstring>

#include "core/result.h"
#include "core/wipe.h"
#include "link/deadline.h"
#include "platform/platform.h"

namespace kx {

HidLink ReaderHidLink(State.link.readerHid, kReaderHidTraits);
HidLink PinPadPort(State.link.pinPad, kPinPadTraits);

namespace {

// Every report passes through a buffer of this size.
constexpr int kReportBufferSize = 256;
// The report-id byte and at least one payload byte.
constexpr int kMinReportLength = 2;
// Each write of a report, and each wait step for a report, lasts this long.
constexpr std::uint32_t kReportWaitMs = 1000;
// A device list that never reports its end is walked this far, no further.
constexpr int kMaxInterfaces = 256;

constexpr std::uint8_t kHeaderStx = 0x02;
constexpr std::uint8_t kAnswerEnd = 0x03;
constexpr std::uint8_t kPadding = 0x00;

bool UsableLength(int length) {
  return length >= kMinReportLength && length <= kReportBufferSize;
}

bool EndsAnswer(const std::uint8_t* report, int length) {
  const std::uint8_t last = report[length - 1];
  return last == kAnswerEnd || last == kPadding;
}

}  // namespace

bool HidLink::Accepts(std::uint16_t vendorId, std::uint16_t productId) const {
  for (const HidIdentity& id : traits_.accepted) {
    if (id.vendorId == vendorId && id.productId == productId) return true;
  }
  return false;
}

void HidLink::Note(const char* text) {
  std::strncpy(state_.statusText, text, kHidStatusTextSize - 1);
  state_.statusText[kHidStatusTextSize - 1] = '\0';
}

int HidLink::Open() {
  // A device still held from an earlier open would be lost to this link.
  if (state_.device != nullptr) {
    state_.backend->HidClose(state_.device);
    state_.device = nullptr;
    state_.backend = nullptr;
  }

  platform::Backend& os = platform::Current();
  platform::HidDeviceList* list = os.HidListOpen();
  if (list == nullptr) {
    Note("获取HID设备信息失败!");
    return -1;
  }

  bool openedAny = false;
  platform::HidDevice* found = nullptr;
  for (int index = 0; index < kMaxInterfaces && found == nullptr; ++index) {
    platform::HidInterface entry{};
    const platform::HidEntry step = os.HidListEntry(list, index, &entry);
    if (step == platform::HidEntry::kEnd) break;
    // One interface that cannot be looked at says nothing about the next.
    if (step == platform::HidEntry::kFailed) continue;
    if (step == platform::HidEntry::kNoPath) {
      os.HidListRelease(list);
      Note("获取HID设备细节信息失败!");
      return kErrPort;
    }
    entry.path[platform::kHidPathSize - 1] = '\0';
    platform::HidDevice* device = os.HidOpen(entry.path);
    if (device == nullptr) continue;
    openedAny = true;
    if (entry.identityKnown && Accepts(entry.vendorId, entry.productId)) {
      found = device;
    } else {
      os.HidClose(device);
    }
  }
  os.HidListRelease(list);

  if (found == nullptr) {
    Note(openedAny ? "设备未找到!" : "设备未连接!");
    return openedAny ? kErrPort : 0;
  }
  state_.device = found;
  state_.backend = &os;
  Note("设备连接成功!");
  return 1;
}

int HidLink::Write(int count, const std::uint8_t* bytes) {
  if (state_.device == nullptr) {
    Note("设备尚未连接!");
    return kErrPort;
  }
  platform::Backend& os = *state_.backend;
  platform::HidReportLengths lengths{};
  const platform::HidCaps caps = os.HidGetReportLengths(state_.device, &lengths);
  if (caps == platform::HidCaps::kNoPreparsedData) {
    Note("Could not get HID preparsed data!");
    return kErrPort;
  }
  if (caps != platform::HidCaps::kOk || !UsableLength(lengths.output) ||
      !lengths.outputReportSettable) {
    return kErrPort;
  }
  if (count < 0 || (count > 0 && bytes == nullptr)) return kErrPort;
  if (count == 0) return 1;

  // Reports left from an answer nobody read (late, or cut short because it
  // did not fit) must not be taken for the answer to this write.
  os.HidDiscardInput(state_.device);

  // The bytes may be a PIN command.
  std::uint8_t report[kReportBufferSize];
  WipeOnExit wipe(report, sizeof report);
  const int chunk = lengths.output - 1;
  for (int sent = 0; sent < count; sent += chunk) {
    std::memset(report, 0, sizeof report);
    std::memcpy(report + 1, bytes + sent, static_cast<std::size_t>(std::min(chunk, count - sent)));
    if (!os.HidWriteReport(state_.device, report, lengths.output, kReportWaitMs)) return kErrPort;
  }
  return 1;
}

int HidLink::Read(std::uint8_t* buffer, int capacity, int timeoutSeconds) {
  if (state_.device == nullptr) {
    Note("设备尚未连接!");
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    return 0;
  }
  platform::Backend& os = *state_.backend;
  platform::HidDevice* device = state_.device;
  platform::HidReportLengths lengths{};
  const platform::HidCaps caps = os.HidGetReportLengths(device, &lengths);
  if (caps == platform::HidCaps::kNoPreparsedData) {
    Note("Could not get HID preparsed data!");
    return kErrPort;
  }
  if (caps != platform::HidCaps::kOk || !UsableLength(lengths.input)) {
    Note("-40!");
    return kErrPort;
  }
  if (buffer == nullptr || capacity < 1) return 0;
  const int length = lengths.input;
  const int room = capacity - 1;  // a NUL follows the answer
  std::memset(buffer, 0, static_cast<std::size_t>(std::min(capacity, 4)));

  // The answer may be a PIN typed on the pad.
  std::uint8_t report[kReportBufferSize] = {};
  WipeOnExit wipe(report, sizeof report);

  const std::uint32_t start = os.TickMs();
  os.EscapePressed();  // a press made before the read began does not count
  const std::uint32_t limitMs = deadline::SecondsToLimitMs(timeoutSeconds);
  for (;;) {
    if (traits_.pauseMs > 0) os.SleepMs(traits_.pauseMs);
    if (deadline::MoreThanPassed(start, os.TickMs(), limitMs)) {
      os.HidCancel(device);
      Note("超时退出!");
      return kErrComm;
    }
    if (os.EscapePressed()) {
      os.HidCancel(device);
      Note("ESC退出!");
      return kErrComm;
    }
    const int got = os.HidReadReport(device, report, length, kReportWaitMs);
    if (got > 0) break;
    if (got < 0) {
      os.HidCancel(device);
      return kErrComm;
    }
  }

  // The header is only there when byte 3 exists and holds STX.
  const int first = (length > 3 && report[3] == kHeaderStx) ? 3 : 1;
  int count = 0;
  const auto refuse = [&] {
    os.HidCancel(device);
    buffer[count] = 0;
    return kErrComm;
  };
  for (int n = 0;; ++n) {
    const int payloadStart = n == 0 ? first : 1;
    const int payload = length - payloadStart;
    // Known before the report is read: an answer that will not fit is
    // refused here, not cut.
    if (payload > room - count) return refuse();
    if (n > 0) {
      std::memset(report, 0, sizeof report);
      if (os.HidReadReport(device, report, length, kReportWaitMs) <= 0) return refuse();
    }
    std::memcpy(buffer + count, report + payloadStart, static_cast<std::size_t>(payload));
    count += payload;
    if (EndsAnswer(report, length)) break;
  }
  buffer[count] = 0;
  return count;
}

int HidLink::Close() {
  if (state_.device == nullptr) {
    Note("设备未连接!");
    return kErrCloseReader;
  }
  state_.backend->HidClose(state_.device);
  state_.device = nullptr;
  state_.backend = nullptr;
  Note("设备已断开!");
  return 1;
}

void CloseHidLinksForTests() {
  for (HidLinkState* link : {&State.link.readerHid, &State.link.pinPad}) {
    if (link->device != nullptr && link->backend != nullptr) link->backend->HidClose(link->device);
    link->device = nullptr;
    link->backend = nullptr;
  }
}

}  // namespace kx
