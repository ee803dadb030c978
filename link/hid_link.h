// The USB HID links: the reader's (the side ReaderPort forwards to for port
// 100) and the PIN pad's. One design, two instances, each with its state in
// the process-wide object (State.link.readerHid, State.link.pinPad).
//
// This build has no HID transport yet, so a link behaves as it does on a
// workstation without any HID device attached: open finds nothing, writes
// fail, reads deliver nothing, and close finds nothing to close.
#pragma once

#include <cstdint>

#include "core/state.h"

namespace kx {

class HidLink {
 public:
  explicit constexpr HidLink(HidLinkState& state) : state_(state) {}

  // 1 when a device with an accepted identity is open; 0 when no HID device
  // could be opened at all.
  int Open();

  // Cuts `count` bytes into output reports. 1 when every report went out
  // (also for count 0), -2 otherwise.
  int Write(int count, const std::uint8_t* bytes);

  // Gathers one answer into `buffer` (at most capacity - 1 bytes, then a NUL)
  // within `timeoutSeconds`. The number of bytes stored, 0 when no device is
  // open, -4 on time-out or Escape.
  int Read(std::uint8_t* buffer, int capacity, int timeoutSeconds);

  // 1 when a device was closed, -14 when none was open.
  int Close();

  // The link's own note about its last event, for diagnosis only.
  const char* StatusText() const { return state_.statusText; }

 private:
  HidLinkState& state_;
};

extern HidLink ReaderHidLink;
extern HidLink PinPadPort;

// Closes whatever device either link holds, through the backend that opened
// it. Part of the test reset (ResetLibraryForTests).
void CloseHidLinksForTests();

}  // namespace kx
