// What the platform keeps between calls: the backend a test installed and
// the settings hosts and tests give the POSIX and Linux backends. One object,
// zero at load (so it takes no room in the binary's initialised data), put
// back by the test reset.
#pragma once

namespace kx {

namespace platform {
class Backend;
}  // namespace platform

// COM port numbers a host may map to a device path (POSIX), and the longest
// path, terminator not counted.
inline constexpr int kMaxComPort = 255;
inline constexpr int kMaxDevicePathLength = 255;

struct PlatformState {
  // The backend a test installed; null means the native one.
  platform::Backend* installedBackend = nullptr;
  // Device paths COM ports are mapped to (KXSetComDevice), indexed by port
  // number; an empty entry means the default device.
  char comDevicePaths[kMaxComPort + 1][kMaxDevicePathLength + 1] = {};
  // Where the Linux backend looks for HID devices: the sysfs tree that lists
  // them and the folder of their device nodes. Empty means /sys and /dev.
  char hidrawSysfsRoot[kMaxDevicePathLength + 1] = {};
  char hidrawDeviceRoot[kMaxDevicePathLength + 1] = {};
};

extern PlatformState PlatformSettings;

// Puts the settings back to their load-time values, keeping the backend a
// test installed. Tests only.
void ResetPlatformSettingsForTests();

}  // namespace kx
