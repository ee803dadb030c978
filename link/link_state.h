// What the link keeps between calls: which side ReaderPort's operations go
// to, the open COM port, and the two HID links' devices. One object for the
// process, put back by the test reset.
#pragma once

namespace kx {

namespace platform {
class Backend;
struct SerialPort;
struct HidDevice;
}  // namespace platform

inline constexpr int kHidStatusTextSize = 104;

// Which side of ReaderPort open/close/write/read go to.
enum class LinkSide { Serial, Hid };

// One USB HID link (the reader's, or the PIN pad's).
struct HidLinkState {
  platform::HidDevice* device = nullptr;  // null: no device open
  platform::Backend* backend = nullptr;   // the backend that opened it
  // The link's own note about its last event, for diagnosis only.
  char statusText[kHidStatusTextSize] = {};
};

struct LinkState {
  // Starts as Hid, so before any successful open the operations answer as a
  // HID link without a device.
  LinkSide kind = LinkSide::Hid;
  bool serialPortOpen = false;
  // The open COM port and the backend that opened it: every later call on
  // the port goes to that backend, even when another one has been installed.
  platform::SerialPort* serialPort = nullptr;
  platform::Backend* serialBackend = nullptr;
  HidLinkState readerHid;
  HidLinkState pinPad;
};

extern LinkState ReaderLinkState;

// The design's names for two of its values.
inline LinkSide& LinkKind = ReaderLinkState.kind;
inline bool& SerialPortOpen = ReaderLinkState.serialPortOpen;

}  // namespace kx
