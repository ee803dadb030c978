// The POSIX backend's own extras: which tty device a COM port number opens,
// and the clock and wait its serial and HID parts share.
#pragma once

#include <termios.h>

#include <cstdint>

#include "core/state.h"

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
// partly changed, for a baud rate or data bits the terminal cannot take.
bool ApplyLineSettings(termios* line, int baud, int byteSize, int parity);

// Milliseconds on the monotonic clock.
std::uint64_t MonotonicMs();

// Polls `fd` for `events` for at most `timeoutMs`, across signals. The revents
// seen, 0 on time-out, -1 on failure.
int PollFor(int fd, short events, std::uint32_t timeoutMs);

}  // namespace kx::platform::posix
