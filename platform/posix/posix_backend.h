// The portable POSIX part of a native backend: serial ports through termios
// and poll, the monotonic clock, no keyboard, and the operating system's
// reasons (errno). What a POSIX system does its own way (HID devices, baud
// rates beyond the common ones, mark and space parity) lives in its own
// folder: platform/linux derives its backend from SerialBackend and defines
// Native(); a macOS or BSD port is another such folder.
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/platform_state.h"

namespace kx::platform::posix {

// The mapping is kept in the process-wide state (core/state.h), with its
// limits kMaxComPort and kMaxDevicePathLength.

// Maps COM port `port` (1..kMaxComPort) to `devicePath`; null or "" restores
// the default "/dev/ttyS{port-1}". False, with nothing changed, for a port out
// of range or a path longer than kMaxDevicePathLength bytes.
bool SetComDevice(int port, const char* devicePath);

// The device COM port `port` opens, into `path` (room for
// kMaxDevicePathLength + 1 bytes). False for a port below 1.
bool ComDevicePath(int port, char* path);

// Turns `line` (a port's current settings) into the link's: raw bytes both
// ways, the caller's baud rate, data bits and parity code (1 none, 2 even,
// 3 odd, 4 mark, 5 space, any other keeps the parity), reads that return at
// once; stop bits and hardware flow control as they were. False, with `line`
// partly changed, for a baud rate, data bits or parity the terminal cannot
// take.
bool ApplyLineSettings(termios* line, int baud, int byteSize, int parity);

// Milliseconds on the monotonic clock.
std::uint64_t MonotonicMs();

// Polls `fd` for `events` for at most `timeoutMs`, across signals. The revents
// seen, 0 on time-out, -1 on failure.
int PollFor(int fd, short events, std::uint32_t timeoutMs);

// A short English reason for an errno value; never null.
const char* ErrnoReason(int code);

// ---- what each POSIX system's own folder defines ----

// The speed for a baud rate beyond those every POSIX system names (50 to
// 230400). False when the system has none for it.
bool SystemBaudSpeed(int baud, speed_t* speed);

// The c_cflag bit that fixes the parity bit (mark or space parity with
// PARODD set or clear); 0 where the terminal has none.
tcflag_t StickParityFlag();

// The serial, clock and keyboard operations of the seam on POSIX, and the
// last operating-system error. The HID operations are the system's own.
class SerialBackend : public Backend {
 public:
  SerialPort* SerialOpen(int port) override;
  bool SerialSetLine(SerialPort* port, int baud, int byteSize, int parity) override;
  bool SerialSetQueues(SerialPort* port, int inputBytes, int outputBytes) override;
  bool SerialSetRts(SerialPort* port, bool raised) override;
  void SerialPurge(SerialPort* port) override;
  int SerialWrite(SerialPort* port, const std::uint8_t* bytes, int count,
                  std::uint32_t timeoutMs) override;
  int SerialBytesWaiting(SerialPort* port) override;
  int SerialRead(SerialPort* port, std::uint8_t* buffer, int maxBytes) override;
  bool SerialWaitReadable(SerialPort* port, std::uint32_t timeoutMs) override;
  std::uint32_t SerialNativeHandle(SerialPort* port) override;
  void SerialClose(SerialPort* port) override;

  int LastOsError() override { return lastError_; }
  const char* OsErrorReason(int code) override { return ErrnoReason(code); }

  std::uint32_t TickMs() override;
  void SleepMs(std::uint32_t ms) override;
  bool EscapePressed() override { return false; }
  bool HasEscapeKey() override { return false; }

 protected:
  // Keeps `code` (an errno value) as the reason of the operation that just
  // failed.
  void NoteError(int code) { lastError_ = code; }

 private:
  int lastError_ = 0;
};

}  // namespace kx::platform::posix
