// The platform seam: the only door from the library to the operating system.
//
// The link layer writes every rule of the serial protocol (purge before write,
// the write bound, the read loop with its limits, Escape) and of the HID
// reports (cutting, gathering, the first-report wait) once, in portable code,
// over this small interface. Each operating system has one backend:
// platform/linux (hidraw and sysfs, over the portable POSIX serial part in
// platform/posix: termios, poll, clock_gettime), platform/win32 (COM ports
// and HID devices with overlapped I/O, SetupAPI, GetTickCount,
// GetAsyncKeyState), and platform/sim (the in-process simulator with a
// virtual clock, for tests).
//
// No backend keeps a trace of the bytes it moves.
#pragma once

#include <cstdint>

namespace kx::platform {

// An open serial port. Each backend defines it; the link layer only holds it.
struct SerialPort;

// An open HID device, and a snapshot of the HID interfaces present. Each
// backend defines them; the link layer only holds them.
struct HidDevice;
struct HidDeviceList;

// Room for a HID interface's path, terminator included.
inline constexpr int kHidPathSize = 512;

// One HID interface as the enumeration sees it.
struct HidInterface {
  char path[kHidPathSize];
  // False when the platform could not tell who made the device.
  bool identityKnown;
  std::uint16_t vendorId;
  std::uint16_t productId;
  std::uint16_t version;
};

// What one step of the enumeration found at an index.
enum class HidEntry {
  kFound,   // an interface, with its path
  kEnd,     // no interface at this index or any later one
  kFailed,  // this index could not be looked at; later ones may still be
  kNoPath,  // an interface whose path could not be read
};

// A device's report lengths, each counting the report-id byte that leads
// every report (so a device with 8-byte reports has length 9).
struct HidReportLengths {
  int input;
  int output;
  // False when the platform cannot build an output report for the device.
  bool outputReportSettable;
};

enum class HidCaps {
  kOk,
  kNoPreparsedData,  // the device's report description could not be read
  kNoCapabilities,   // it was read but makes no sense
};

class Backend {
 public:
  virtual ~Backend() = default;

  // ---- serial port ----

  // Opens COM port `port` for reading and writing, exclusively (a second open
  // of the same port fails while the first is held), an existing device
  // only. Applies the link's read time-outs (return at once with whatever is
  // queued) and write time-out (5000 ms); a failure to set them is ignored.
  // Returns nullptr when the port cannot be opened or its per-port resources
  // (events) cannot be created; nothing stays open then.
  virtual SerialPort* SerialOpen(int port) = 0;

  // Reads the port's current line settings, sets the baud rate, the data
  // bits and the parity (codes: 1 none, 2 even, 3 odd, 4 mark, 5 space; any
  // other code leaves the parity as it is) and writes them back. Stop bits and
  // every other setting keep the port's current values. False on failure.
  virtual bool SerialSetLine(SerialPort* port, int baud, int byteSize, int parity) = 0;

  // Sets the driver's input and output queue sizes. False on failure.
  virtual bool SerialSetQueues(SerialPort* port, int inputBytes, int outputBytes) = 0;

  // Raises or lowers RTS. False on failure (callers ignore it: a
  // pseudo-terminal has no modem lines).
  virtual bool SerialSetRts(SerialPort* port, bool raised) = 0;

  // Aborts pending reads and writes and discards both queues.
  virtual void SerialPurge(SerialPort* port) = 0;

  // Writes `count` bytes and waits at most `timeoutMs` for the write to
  // complete. Returns the number of bytes written: `count` on success, less
  // (usually 0) on time-out; -1 when the port itself failed (an I/O error
  // other than the time-out: the device was pulled out or hung up).
  virtual int SerialWrite(SerialPort* port, const std::uint8_t* bytes, int count,
                          std::uint32_t timeoutMs) = 0;

  // Number of bytes waiting in the input queue, clearing any line error on
  // the way. -1 when the port cannot be queried: the device was pulled out
  // or hung up, and the port is of no more use.
  virtual int SerialBytesWaiting(SerialPort* port) = 0;

  // Reads at most `maxBytes` of the bytes waiting, without blocking. Returns
  // the number read (0 or more), -1 on failure.
  virtual int SerialRead(SerialPort* port, std::uint8_t* buffer, int maxBytes) = 0;

  // Blocks until input is waiting or `timeoutMs` has passed, without
  // consuming input. True when input is waiting, or at once when the port
  // has failed (hung up, pulled out: the caller's next query of the bytes
  // waiting says so); false when none was waiting as it returned, so the
  // caller need not ask the driver again. A
  // backend may return early (spuriously) but never later than the
  // time-out. The time-out may be the caller's whole remaining time (seconds):
  // a backend blocks in the operating system for it rather than waking in
  // slices, unless it has something of its own to look at meanwhile.
  virtual bool SerialWaitReadable(SerialPort* port, std::uint32_t timeoutMs) = 0;

  // The platform handle of the port as a 32-bit value, for hosts that asked
  // for it (the COM port HANDLE on Windows, the file descriptor on POSIX).
  virtual std::uint32_t SerialNativeHandle(SerialPort* port) = 0;

  // Closes the port and frees everything SerialOpen created. `port` is
  // invalid afterwards.
  virtual void SerialClose(SerialPort* port) = 0;

  // ---- HID ----

  // A snapshot of the HID interfaces present. nullptr when the platform
  // cannot list them at all (no HID devices is an empty list, not a
  // failure). Only one list is held at a time; HidListRelease frees it.
  virtual HidDeviceList* HidListOpen() = 0;

  // The interface at `index` (0, 1, ...) of the list, into *entry. The walk
  // stops at kEnd; kFailed and kNoPath concern this index only.
  virtual HidEntry HidListEntry(HidDeviceList* list, int index, HidInterface* entry) = 0;

  virtual void HidListRelease(HidDeviceList* list) = 0;

  // Opens the device at `path` for reading and writing, shared with other
  // openers, an existing device only. nullptr when it cannot be opened.
  virtual HidDevice* HidOpen(const char* path) = 0;

  // The device's report lengths, read from its report description.
  virtual HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) = 0;

  // Drops the input reports the device sent that nobody has read yet.
  virtual void HidDiscardInput(HidDevice* device) = 0;

  // Writes one output report of `length` bytes (byte 0 the report id) and
  // waits at most `timeoutMs` for it to go out. Returns `length` when it
  // went out; 0 when it did not in time (a write still under way is
  // cancelled, and the cancel waited for, before this returns, so `report`
  // is free again); -1 when the device failed (unplugged).
  virtual int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                             std::uint32_t timeoutMs) = 0;

  // Waits at most `timeoutMs` for the next input report and stores it in
  // `report` (`length` bytes: byte 0 the report id, 0 for a device without
  // numbered reports, then the data, zero-padded when the device sent less).
  // Returns `length` when a report came; 0 when none came in time (it is not
  // lost: a read may stay under way and a later call takes the report); -1
  // when the device failed (unplugged). Never returns 0 before the time-out
  // has passed.
  virtual int HidReadReport(HidDevice* device, std::uint8_t* report, int length,
                            std::uint32_t timeoutMs) = 0;

  // Cancels a read left under way by HidReadReport and waits until it has
  // stopped; a report it had already taken is dropped.
  virtual void HidCancel(HidDevice* device) = 0;

  // Cancels whatever is under way and closes the device. `device` is invalid
  // afterwards.
  virtual void HidClose(HidDevice* device) = 0;

  // ---- the operating system's reason ----

  // The operating system's code for the last operation of this backend that
  // failed for a reason of the system's (errno on POSIX, GetLastError on
  // Windows, a code a test chose on the simulated platform): a port that
  // does not open, a write or read whose device failed. An operation that
  // succeeds leaves it as it is; 0 until one has failed.
  virtual int LastOsError() = 0;

  // A short English reason for `code` ("access denied (another program
  // holds the port)", "no such device", "device busy", ...), for the trace
  // and for support; never null.
  virtual const char* OsErrorReason(int code) = 0;

  // ---- time and keyboard ----

  // Milliseconds on a monotonic clock that wraps at 2^32 (GetTickCount).
  // Callers compare ticks by unsigned difference only.
  virtual std::uint32_t TickMs() = 0;

  virtual void SleepMs(std::uint32_t ms) = 0;

  // True when the Escape key is down now or was pressed since the previous
  // query. POSIX has no global keyboard state and always answers false.
  virtual bool EscapePressed() = 0;

  // False when EscapePressed can never answer true (POSIX). A wait that
  // nothing but its deadline can end is then one wait for the whole time;
  // with a key, callers look at it again at least every few milliseconds.
  virtual bool HasEscapeKey() = 0;
};

// The backend in use: the native one unless a test installed another.
Backend& Current();

// The native backend of this build (POSIX or Win32).
Backend& Native();

// Installs `backend` as the current one; nullptr restores the native backend.
void SetBackend(Backend* backend);

// The process-wide lock every export holds for its whole call, so that calls
// from several threads run one after another. It is the operating system's
// own lock in every build (the simulated platform included): it orders the
// callers' threads, not the devices. Not recursive: a routine inside the
// library never takes it again.
void LockLibrary();
void UnlockLibrary();

}  // namespace kx::platform
