// What a link operation (open, write, read, close) of either link gives back:
// one status with one meaning, and the bytes it moved. The frame layer turns
// statuses into the library's result codes, in one place (reader/frame.h).
#pragma once

#include <cstdint>

namespace kx {

enum class LinkStatus : std::uint8_t {
  kOk,           // done; `count` bytes written or stored
  kNotOpen,      // no port or device is open on this link
  kOpenFailed,   // open: nothing could be opened or set up (the operating
                 // system's reason is kept by the backend)
  kNotFound,     // open: devices were opened, none of an accepted identity
  kListFailed,   // open: the HID devices or a device's path cannot be read
  kBadArgument,  // a negative count, or bytes or a buffer missing
  kTimedOut,     // the write's bound, the read's limit or a follow-up report passed
  kEscape,       // the user pressed Escape while the link waited
  // The device failed under the operation: pulled out, hung up, unplugged.
  // The same status on both links; the serial link gives its port up with
  // it, the HID link keeps its device until it is closed.
  kDeviceGone,
  kUnusable,  // the device's report lengths cannot be read or are out of range
  kTooLong,   // an answer longer than the buffer (refused, not cut)
};

struct LinkResult {
  LinkStatus status = LinkStatus::kOk;
  // Bytes written or stored, also by an operation that failed partway (a
  // write cut by its bound, an answer refused as too long).
  int count = 0;

  constexpr bool ok() const { return status == LinkStatus::kOk; }
  friend constexpr bool operator==(const LinkResult&, const LinkResult&) = default;
};

constexpr LinkResult LinkDone(int count) {
  return {LinkStatus::kOk, count};
}
constexpr LinkResult LinkFailed(LinkStatus status, int count = 0) {
  return {status, count};
}

}  // namespace kx
