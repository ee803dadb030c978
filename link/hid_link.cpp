// The HID links over the platform seam: enumeration, report cutting and
// gathering, the first-report wait. Everything here serves both links; what
// differs between them is in their traits.
#include "link/hid_link.h"

#include <algorithm>
#include <cstring>

#include "core/wipe.h"
#include "link/deadline.h"
#include "link/frame_bytes.h"
#include "link/link_trace.h"
#include "platform/platform.h"

namespace kx {

HidLink ReaderHidLink(ReaderLinkState.readerHid, kReaderHidTraits);
HidLink PinPadPort(ReaderLinkState.pinPad, kPinPadTraits);

namespace {

// Every report passes through a buffer of this size.
constexpr int kReportBufferSize = 256;
// The report-id byte and at least one payload byte.
constexpr int kMinReportLength = 2;
// Each write of a report, and each wait step for a report, lasts this long.
constexpr std::uint32_t kReportWaitMs = 1000;
// A device list that never reports its end is walked this far, no further.
constexpr int kMaxInterfaces = 256;

constexpr std::uint8_t kPadding = 0x00;

bool UsableLength(int length) {
  return length >= kMinReportLength && length <= kReportBufferSize;
}

bool EndsAnswer(const std::uint8_t* report, int length) {
  const std::uint8_t last = report[length - 1];
  return last == kEtx || last == kPadding;
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

LinkResult HidLink::Open() {
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
    TraceOpenFailure(os, traits_.name);
    return LinkFailed(LinkStatus::kListFailed);
  }

  bool openedAny = false;
  // A device that may be ours did not open: the trace gives the reason.
  bool refused = false;
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
      return LinkFailed(LinkStatus::kListFailed);
    }
    entry.path[platform::kHidPathSize - 1] = '\0';
    platform::HidDevice* device = os.HidOpen(entry.path);
    if (device == nullptr) {
      // Where the platform names devices before opening them, another
      // device's refusal (most HID nodes are root's) says nothing of ours.
      refused = refused || !entry.identityKnown || Accepts(entry.vendorId, entry.productId);
      continue;
    }
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
    if (refused) TraceOpenFailure(os, traits_.name);
    return LinkFailed(openedAny ? LinkStatus::kNotFound : LinkStatus::kOpenFailed);
  }
  state_.device = found;
  state_.backend = &os;
  Note("设备连接成功!");
  return LinkDone(0);
}

platform::HidCaps HidLink::Capabilities(platform::HidReportLengths* lengths) {
  const platform::HidCaps caps = state_.backend->HidGetReportLengths(state_.device, lengths);
  if (caps == platform::HidCaps::kNoPreparsedData) Note("Could not get HID preparsed data!");
  return caps;
}

LinkResult HidLink::Write(const std::uint8_t* bytes, int count) {
  if (state_.device == nullptr) {
    Note("设备尚未连接!");
    return LinkFailed(LinkStatus::kNotOpen);
  }
  platform::Backend& os = *state_.backend;
  platform::HidReportLengths lengths{};
  if (Capabilities(&lengths) != platform::HidCaps::kOk || !UsableLength(lengths.output) ||
      !lengths.outputReportSettable) {
    return LinkFailed(LinkStatus::kUnusable);
  }
  if (count < 0 || (count > 0 && bytes == nullptr)) return LinkFailed(LinkStatus::kBadArgument);
  if (count == 0) return LinkDone(0);

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
    const int written = os.HidWriteReport(state_.device, report, lengths.output, kReportWaitMs);
    if (written <= 0) {
      return LinkFailed(written < 0 ? LinkStatus::kDeviceGone : LinkStatus::kTimedOut, sent);
    }
  }
  return LinkDone(count);
}

LinkResult HidLink::Read(std::uint8_t* buffer, int capacity, int timeoutSeconds) {
  if (state_.device == nullptr) {
    Note("设备尚未连接!");
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    return LinkFailed(LinkStatus::kNotOpen);
  }
  platform::HidReportLengths lengths{};
  const platform::HidCaps caps = Capabilities(&lengths);
  if (caps == platform::HidCaps::kNoPreparsedData) return LinkFailed(LinkStatus::kUnusable);
  if (caps != platform::HidCaps::kOk || !UsableLength(lengths.input)) {
    Note("-40!");
    return LinkFailed(LinkStatus::kUnusable);
  }
  if (buffer == nullptr || capacity < 1) return LinkFailed(LinkStatus::kBadArgument);
  std::memset(buffer, 0, static_cast<std::size_t>(std::min(capacity, 4)));

  // The answer may be a PIN typed on the pad.
  std::uint8_t report[kReportBufferSize] = {};
  WipeOnExit wipe(report, sizeof report);
  const LinkStatus first = AwaitFirstReport(report, lengths.input, timeoutSeconds);
  if (first != LinkStatus::kOk) return LinkFailed(first);
  // A NUL follows the answer.
  const LinkResult answer = GatherAnswer(report, lengths.input, buffer, capacity - 1);
  buffer[answer.count] = 0;
  return answer;
}

// The wait for an answer's first report, in 1000 ms steps: it ends when the
// report has come, more than the limit has passed, Escape is pressed or the
// device fails. A read left under way is cancelled when the wait gives up.
LinkStatus HidLink::AwaitFirstReport(std::uint8_t* report, int length, int timeoutSeconds) {
  platform::Backend& os = *state_.backend;
  const std::uint32_t start = os.TickMs();
  os.EscapePressed();  // a press made before the read began does not count
  const std::uint32_t limitMs = deadline::SecondsToLimitMs(timeoutSeconds);
  for (;;) {
    if (traits_.pauseMs > 0) os.SleepMs(traits_.pauseMs);
    LinkStatus ended = LinkStatus::kOk;
    if (deadline::MoreThanPassed(start, os.TickMs(), limitMs)) {
      Note("超时退出!");
      ended = LinkStatus::kTimedOut;
    } else if (os.EscapePressed()) {
      Note("ESC退出!");
      ended = LinkStatus::kEscape;
    } else {
      const int got = os.HidReadReport(state_.device, report, length, kReportWaitMs);
      if (got > 0) return LinkStatus::kOk;
      if (got < 0) ended = LinkStatus::kDeviceGone;
    }
    if (ended != LinkStatus::kOk) {
      os.HidCancel(state_.device);
      return ended;
    }
  }
}

// Gathers the answer whose first report is in `report`, at most `room`
// bytes: each further report gets 1000 ms, whatever the limit and the key.
// An answer that will not fit is refused before its next report is read,
// never cut; the bytes gathered so far stay in `buffer`.
LinkResult HidLink::GatherAnswer(std::uint8_t* report, int length, std::uint8_t* buffer, int room) {
  platform::Backend& os = *state_.backend;
  const auto refuse = [&](LinkStatus status, int count) {
    os.HidCancel(state_.device);
    return LinkFailed(status, count);
  };
  // The header is only there when byte 3 exists and holds STX.
  int payloadStart = (length > 3 && report[3] == kStx) ? 3 : 1;
  int count = 0;
  for (bool inHand = true;; inHand = false, payloadStart = 1) {
    const int payload = length - payloadStart;
    if (payload > room - count) return refuse(LinkStatus::kTooLong, count);
    if (!inHand) {
      std::memset(report, 0, kReportBufferSize);
      const int got = os.HidReadReport(state_.device, report, length, kReportWaitMs);
      if (got <= 0) return refuse(got < 0 ? LinkStatus::kDeviceGone : LinkStatus::kTimedOut, count);
    }
    std::memcpy(buffer + count, report + payloadStart, static_cast<std::size_t>(payload));
    count += payload;
    if (EndsAnswer(report, length)) return LinkDone(count);
  }
}

LinkResult HidLink::Close() {
  if (state_.device == nullptr) {
    Note("设备未连接!");
    return LinkFailed(LinkStatus::kNotOpen);
  }
  state_.backend->HidClose(state_.device);
  state_.device = nullptr;
  state_.backend = nullptr;
  Note("设备已断开!");
  return LinkDone(0);
}

void CloseHidLinksForTests() {
  for (HidLinkState* link : {&ReaderLinkState.readerHid, &ReaderLinkState.pinPad}) {
    if (link->device != nullptr && link->backend != nullptr) link->backend->HidClose(link->device);
    link->device = nullptr;
    link->backend = nullptr;
  }
}

}  // namespace kx
