// The reader link: dispatch between the serial side and the USB HID side, and
// the whole serial side over the platform seam.
#include "link/reader_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "core/state.h"
#include "core/trace.h"
#include "link/deadline.h"
#include "link/hid_link.h"
#include "link/link_trace.h"
#include "platform/platform.h"
#include "platform/platform_state.h"

namespace kx {

ReaderPortLink ReaderPort;
constinit LinkState ReaderLinkState;

namespace {

LinkState& Link() {
  return ReaderLinkState;
}

bool HasPort() {
  return Link().serialPortOpen && Link().serialPort != nullptr && Link().serialBackend != nullptr;
}

void ForgetPort() {
  Link().serialPortOpen = false;
  Link().serialPort = nullptr;
  Link().serialBackend = nullptr;
}

// A port whose device was pulled out is closed at once, with no stop
// sequence or RTS change it could not carry: the next call then finds no
// port open rather than waiting out a reply that cannot come.
void DropFailedPort() {
  Link().serialBackend->SerialClose(Link().serialPort);
  ForgetPort();
}

// A port that did not open: the trace names the operating system's reason,
// which tells a port another program holds from one that is not there.
LinkResult SerialOpenFailed(platform::Backend& os, int port) {
  if (TraceOn()) {
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", port);
    TraceOpenFailure(os, name);
  }
  return LinkFailed(LinkStatus::kOpenFailed);
}

// A framed reply starts here; see ReplyEndIn.

// What one round of the read loop took from the driver.
enum class Take { Bytes, Nothing, Full, Stalled, Failed };

// Takes the bytes the driver holds, at most `room` of them, without blocking.
// The plain read comes first because on the data path it is all that is
// needed; only when it hands over nothing is the driver asked how many bytes
// wait, a query that also clears a line error that would block reads.
Take TakeWaiting(platform::Backend& os, platform::SerialPort* port, std::uint8_t* into, int room,
                 int* got) {
  *got = room > 0 ? std::min(os.SerialRead(port, into, room), room) : 0;
  if (*got > 0) return Take::Bytes;
  const int waiting = os.SerialBytesWaiting(port);
  if (waiting == 0) return Take::Nothing;
  if (waiting < 0) return Take::Failed;
  if (room <= 0) return Take::Full;
  *got = std::min(os.SerialRead(port, into, std::min(waiting, room)), room);
  return *got > 0 ? Take::Bytes : Take::Stalled;
}

// Whether the `got` bytes just stored at `fresh` end the reply. A framed
// reply (one ending in ETX) ends only at an ETX after its STX: line noise
// before the STX, a stray ETX included, would otherwise end the read before
// the frame has come. `framed` remembers an STX seen in an earlier chunk.
bool ReplyEndIn(const std::uint8_t* fresh, int got, std::uint8_t endByte, bool* framed) {
  const std::uint8_t* from = fresh;
  const std::uint8_t* end = fresh + got;
  if (endByte == kEtx && !*framed) {
    from = std::find(fresh, end, kStx);
    if (from == end) return false;
    *framed = true;
    ++from;
  }
  return std::find(from, end, endByte) != end;
}

// The serial read loop. Each round checks the overall limit and the Escape
// key, takes what has arrived and applies the idle rule; between rounds it
// waits for input until the first instant the limit or the idle rule can
// fire. With an Escape key the wait is cut into slices so the key is looked
// at in time; without one (POSIX) nothing else can end it, so it is one wait
// and a silent reader costs one system call. The driver is asked for input
// only after a wait that saw some: right after a command the reply cannot be
// there yet, and after a wait that timed out there is none.
LinkResult ReadSerial(platform::Backend& os, platform::SerialPort* port, std::uint8_t* buffer,
                      int capacity, std::uint8_t endByte, int timeoutSeconds) {
  const std::uint32_t start = os.TickMs();
  const bool escapeKey = os.HasEscapeKey();
  if (escapeKey) os.EscapePressed();  // a press made before the read began does not count
  const std::uint32_t limitMs = deadline::SecondsToLimitMs(timeoutSeconds);
  const int room = capacity - 1;
  int total = 0;
  std::uint32_t lastData = start;
  bool framed = false;
  buffer[0] = 0;

  for (bool readable = false;;) {
    if (deadline::MoreThanPassed(start, os.TickMs(), limitMs)) {
      return LinkFailed(LinkStatus::kTimedOut, total);
    }
    if (escapeKey && os.EscapePressed()) return LinkFailed(LinkStatus::kEscape, total);

    Take taken = Take::Nothing;
    if (readable) {
      int got = 0;
      taken = TakeWaiting(os, port, buffer + total, room - total, &got);
      // A reply longer than the buffer ends the read with what fits; the
      // rest stays in the driver until the next write discards it.
      if (taken == Take::Full) break;
      if (taken == Take::Failed) {
        DropFailedPort();
        return LinkFailed(LinkStatus::kDeviceGone, total);
      }
      if (taken == Take::Bytes) {
        const bool complete = ReplyEndIn(buffer + total, got, endByte, &framed);
        total += got;
        buffer[total] = 0;
        lastData = os.TickMs();
        if (complete) break;
      }
    }

    const std::uint32_t now = os.TickMs();
    std::uint32_t until = deadline::UntilMoreThan(start, now, limitMs);
    if (total > 0) {
      if (deadline::MoreThanPassed(lastData, now, kSerialIdleMs)) break;
      until = std::min(until, deadline::UntilMoreThan(lastData, now, kSerialIdleMs));
    }
    if (until == 0) return LinkFailed(LinkStatus::kTimedOut, total);  // the overall limit passed
    // A port that reports input it will not hand over would make the
    // readability wait return at once; sleep a slice instead of spinning on
    // it, and ask again.
    if (taken == Take::Stalled) {
      os.SleepMs(deadline::WaitSlice(until));
      readable = true;
    } else {
      readable = os.SerialWaitReadable(port, escapeKey ? deadline::WaitSlice(until) : until);
    }
  }
  return LinkDone(total);
}

}  // namespace

LinkResult ReaderPortLink::Open(int port, int baud, int byteSize, int parity) {
  if (port == kUsbPort) {
    const LinkResult opened = ReaderHidLink.Open();
    LinkKind = opened.ok() ? LinkSide::Hid : LinkSide::Serial;
    return opened;
  }

  // The open port is kept with its own number and settings. The link goes
  // back to it, though: after an Open(100) the HID side may have been closed,
  // and a caller told "open" must not be left writing to a closed HID link.
  if (SerialPortOpen) {
    LinkKind = LinkSide::Serial;
    return LinkDone(0);
  }

  platform::Backend& os = platform::Current();
  platform::SerialPort* opened = os.SerialOpen(port);
  if (opened == nullptr) return SerialOpenFailed(os, port);

  // The driver takes the data bits as one byte.
  const bool lineSet =
      os.SerialSetLine(opened, baud, static_cast<int>(static_cast<std::uint8_t>(byteSize)), parity);
  const bool queuesSet = os.SerialSetQueues(opened, kSerialQueueBytes, kSerialQueueBytes);
  if (!lineSet || !queuesSet) {
    // Noted before the close, which may leave a reason of its own.
    const LinkResult failed = SerialOpenFailed(os, port);
    os.SerialClose(opened);
    return failed;
  }

  os.SerialSetRts(opened, true);  // a pseudo-terminal has no RTS; that is fine
  Link().serialPort = opened;
  Link().serialBackend = &os;
  SerialPortOpen = true;
  os.SerialPurge(opened);
  LinkKind = LinkSide::Serial;
  return LinkDone(0);
}

void ReaderPortLink::Close() {
  if (LinkKind == LinkSide::Hid) {
    ReaderHidLink.Close();
    return;
  }
  Write(kSerialStopSequence, static_cast<int>(sizeof kSerialStopSequence));
  if (!HasPort()) return;
  Link().serialBackend->SerialSetRts(Link().serialPort, false);
  Link().serialBackend->SerialClose(Link().serialPort);
  ForgetPort();
}

LinkResult ReaderPortLink::Write(const std::uint8_t* bytes, int count) {
  if (LinkKind == LinkSide::Hid) return ReaderHidLink.Write(bytes, count);
  if (!HasPort()) return LinkFailed(LinkStatus::kNotOpen);
  // A late reply to an earlier command must never be taken for the answer to
  // this one.
  Link().serialBackend->SerialPurge(Link().serialPort);
  if (count < 0 || (count > 0 && bytes == nullptr)) return LinkFailed(LinkStatus::kBadArgument);
  if (count == 0) return LinkDone(0);
  const int written =
      Link().serialBackend->SerialWrite(Link().serialPort, bytes, count, kSerialWriteBoundMs);
  if (written < 0) {
    DropFailedPort();
    return LinkFailed(LinkStatus::kDeviceGone);
  }
  if (written < count) return LinkFailed(LinkStatus::kTimedOut, written);
  return LinkDone(count);
}

LinkResult ReaderPortLink::Read(std::uint8_t* buffer, int capacity, std::uint8_t endByte,
                                int timeoutSeconds) {
  if (LinkKind == LinkSide::Hid) return ReaderHidLink.Read(buffer, capacity, timeoutSeconds);
  if (!HasPort()) return LinkFailed(LinkStatus::kNotOpen);
  if (buffer == nullptr || capacity < 1) return LinkFailed(LinkStatus::kBadArgument);
  return ReadSerial(*Link().serialBackend, Link().serialPort, buffer, capacity, endByte,
                    timeoutSeconds);
}

void TraceOpenFailure(platform::Backend& os, const char* device) {
  if (!TraceOn()) return;
  const int code = os.LastOsError();
  char line[200];
  std::snprintf(line, sizeof line, "link: %.32s does not open: %s (os error %d)", device,
                os.OsErrorReason(code), code);
  TraceText(line);
}

std::uint32_t ReaderPortLink::NativeHandle() const {
  return HasPort() ? Link().serialBackend->SerialNativeHandle(Link().serialPort) : 0;
}

void ResetLibraryForTests() {
  if (Link().serialPort != nullptr && Link().serialBackend != nullptr) {
    Link().serialBackend->SerialClose(Link().serialPort);
  }
  CloseHidLinksForTests();
  ResetProcessState();
  static_assert(std::is_trivially_destructible_v<LinkState>);
  new (&ReaderLinkState) LinkState{};
  ResetPlatformSettingsForTests();
  platform::SetBackend(nullptr);
}

}  // namespace kx
