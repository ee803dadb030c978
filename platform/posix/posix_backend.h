// The POSIX backend's own extras: which tty device a COM port number opens.
#pragma once

namespace kx::platform::posix {

inline constexpr int kMaxComPort = 255;
inline constexpr int kMaxDevicePathLength = 255;  // bytes, terminator not counted

// Maps COM port `port` (1..kMaxComPort) to `devicePath`; null or "" restores
// the default "/dev/ttyS{port-1}". False, with nothing changed, for a port out
// of range or a path longer than kMaxDevicePathLength bytes.
bool SetComDevice(int port, const char* devicePath);

// The device COM port `port` opens, into `path` (room for
// kMaxDevicePathLength + 1 bytes). False for a port below 1.
bool ComDevicePath(int port, char* path);

}  // namespace kx::platform::posix
