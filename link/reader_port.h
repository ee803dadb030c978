// ReaderPort: the one process-wide link to the reader, over a serial COM port
// or the reader's USB HID device (port number 100).
#pragma once

#include <cstdint>

#include "core/state.h"
#include "link/frame_bytes.h"
#include "link/link_result.h"
#include "link/link_state.h"

namespace kx {

// LinkKind (which side open/close/write/read go to) and SerialPortOpen live
// with the rest of the process-wide state, in core/state.h.

inline constexpr int kUsbPort = 100;

// A write that has not completed after this long has failed.
inline constexpr std::uint32_t kSerialWriteBoundMs = 1000;
// A reply that has started and then stays silent for more than this has ended.
inline constexpr std::uint32_t kSerialIdleMs = 100;
// Driver queue sizes asked for at open, each way.
inline constexpr int kSerialQueueBytes = 10000;
// Sent to the reader just before its COM port is closed.
inline constexpr std::uint8_t kSerialStopSequence[3] = {0x1B, 0x25, 0x42};

// The operations on the one reader link; its state is State.link. Results
// are LinkResult (link/link_result.h); on the HID side they are those of
// HidLink.
class ReaderPortLink {
 public:
  // Opens the link. Port 100 opens the HID side; any other number the COM
  // port of that number (baud, data bits, parity code: 1 none ... 5 space).
  // An open serial port is kept as it is: a second Open succeeds at once.
  // kOpenFailed when the port cannot be opened or set up (nothing stays
  // open; the backend keeps the operating system's reason); a failed HID
  // open gives the HID link's status.
  LinkResult Open(int port, int baud, int byteSize, int parity);

  // Closes the side in use; on the serial side it first sends ESC "%B".
  void Close();

  // Writes raw bytes, discarding unread input first. kOk with `count` when
  // every byte went out (nothing to write included); kNotOpen, kBadArgument,
  // kTimedOut with the bytes written within the 1000 ms bound, kDeviceGone
  // (the port is closed then), or the HID side's failure.
  LinkResult Write(const std::uint8_t* bytes, int count);

  // Reads until a chunk holds `endByte`, the reply falls idle for 100 ms after
  // its first byte, or `timeoutSeconds` pass. Stores at most capacity - 1
  // bytes and keeps buffer[stored] = 0, so the reply can be read as text.
  // kOk with the number of bytes stored; kNotOpen, kTimedOut, kEscape,
  // kDeviceGone (the port is closed then), kBadArgument for a null buffer or
  // a capacity below 1. A reply that fills the buffer without `endByte` ends
  // the read with the capacity - 1 bytes stored; the rest stays unread (the
  // next write discards it).
  LinkResult Read(std::uint8_t* buffer, int capacity, std::uint8_t endByte, int timeoutSeconds);

  // Platform handle of the open COM port (0 when none), for KXReaderInit.
  std::uint32_t NativeHandle() const;
};

extern ReaderPortLink ReaderPort;

// Closes every device the links hold open (through the backend that opened
// it) and puts the whole process-wide state back to its load-time values.
// Tests only: the product never resets anything between calls.
void ResetLibraryForTests();

}  // namespace kx
