// The USB HID links: the reader's (the side ReaderPort forwards to for port
// 100) and the PIN pad's. One design, two instances that differ only by their
// traits (the identities they accept, the pause in the first-report wait),
// each with its state in the process-wide object (State.link.readerHid,
// State.link.pinPad).
//
// The bytes are those of the serial line, cut into fixed-length reports:
//
//   output report:  00 | up to L_out - 1 payload bytes | zero padding
//   input report:   id | L_in - 1 payload bytes
//                   (the first report of an answer with STX at byte 3 has a
//                   two-byte header in bytes 1 and 2, which is dropped)
//
// An answer ends with the first report whose last byte is ETX (03) or
// padding (00). L_in and L_out count the report-id byte; both must lie
// between 2 and 256 (the report buffers) or the device is unusable.
#pragma once

#include <cstdint>

#include "core/state.h"
#include "link/link_result.h"
#include "link/link_state.h"

namespace kx {

namespace platform {
struct HidReportLengths;
enum class HidCaps;
}  // namespace platform

struct HidIdentity {
  std::uint16_t vendorId;
  std::uint16_t productId;
};

struct HidLinkTraits {
  HidIdentity accepted[2];
  // Slept before each step of the wait for an answer's first report.
  std::uint32_t pauseMs;
  // The device, as the trace names it.
  const char* name;
};

inline constexpr HidLinkTraits kReaderHidTraits = {
    {{0x3C4E, 0x0402}, {0x7B15, 0x0201}}, 0, "USB reader"};
inline constexpr HidLinkTraits kPinPadTraits = {
    {{0x3C4E, 0x0101}, {0x7B15, 0x0101}}, 10, "PIN pad"};

// Results are LinkResult (link/link_result.h).
class HidLink {
 public:
  constexpr HidLink(HidLinkState& state, const HidLinkTraits& traits)
      : state_(state), traits_(traits) {}

  // Opens the first HID device with an accepted identity, closing whatever
  // this link held before. kOk when one is open; kOpenFailed when no HID
  // device could be opened at all; kListFailed when the devices cannot be
  // listed or a device's path cannot be read; kNotFound when devices were
  // opened but none was accepted.
  LinkResult Open();

  // Cuts `count` bytes into output reports, after dropping input reports
  // nobody read. kOk with `count` when every report went out (also for count
  // 0); kNotOpen, kUnusable, kBadArgument; kTimedOut when a report was not
  // written within 1000 ms, kDeviceGone when the device failed.
  LinkResult Write(const std::uint8_t* bytes, int count);

  // Gathers one answer into `buffer`: at most capacity - 1 bytes, then a
  // NUL. The first report is awaited in 1000 ms steps until more than
  // `timeoutSeconds` have passed (kTimedOut) or Escape is pressed (kEscape);
  // each further report gets 1000 ms (kTimedOut), whatever the limit and the
  // key. kOk with the number of bytes stored (padding of the last report
  // included); kNotOpen (an empty buffer), kBadArgument when `buffer` cannot
  // hold a byte, kUnusable, kDeviceGone, kTooLong when the answer would not
  // fit (nothing past the buffer is written).
  LinkResult Read(std::uint8_t* buffer, int capacity, int timeoutSeconds);

  // kOk when a device was closed, kNotOpen when none was open.
  LinkResult Close();

  // The link's own note about its last event, for diagnosis only.
  const char* StatusText() const { return state_.statusText; }

 private:
  bool Accepts(std::uint16_t vendorId, std::uint16_t productId) const;
  void Note(const char* text);
  platform::HidCaps Capabilities(platform::HidReportLengths* lengths);
  LinkStatus AwaitFirstReport(std::uint8_t* report, int length, int timeoutSeconds);
  LinkResult GatherAnswer(std::uint8_t* report, int length, std::uint8_t* buffer, int room);

  HidLinkState& state_;
  const HidLinkTraits& traits_;
};

extern HidLink ReaderHidLink;
extern HidLink PinPadPort;

// Closes whatever device either link holds, through the backend that opened
// it. Part of the test reset (ResetLibraryForTests).
void CloseHidLinksForTests();

}  // namespace kx
