// The native backend on Linux: the POSIX serial backend, hidraw for the HID
// devices, and the baud rates and mark/space parity Linux's termios adds.
#include <termios.h>

#include <cerrno>

#include "platform/linux/hidraw.h"
#include "platform/platform.h"
#include "platform/posix/posix_backend.h"

namespace kx::platform {

namespace posix {

bool SystemBaudSpeed(int baud, speed_t* speed) {
  struct Rate {
    int baud;
    speed_t speed;
  };
  static constexpr Rate kRates[] = {
      {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
      {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
      {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  for (const Rate& rate : kRates) {
    if (rate.baud == baud) {
      *speed = rate.speed;
      return true;
    }
  }
  return false;
}

tcflag_t StickParityFlag() {
  return CMSPAR;
}

}  // namespace posix

namespace {

class LinuxBackend final : public posix::SerialBackend {
 public:
  HidDeviceList* HidListOpen() override { return Noted(hidraw::ListOpen()); }
  HidEntry HidListEntry(HidDeviceList* list, int index, HidInterface* entry) override {
    return hidraw::ListEntry(list, index, entry);
  }
  void HidListRelease(HidDeviceList* list) override { hidraw::ListRelease(list); }
  HidDevice* HidOpen(const char* path) override { return Noted(hidraw::Open(path)); }
  HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) override {
    return hidraw::ReportLengths(device, lengths);
  }
  void HidDiscardInput(HidDevice* device) override { hidraw::DiscardInput(device); }
  int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override {
    return Noted(hidraw::WriteReport(device, report, length, timeoutMs));
  }
  int HidReadReport(HidDevice* device, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override {
    return Noted(hidraw::ReadReport(device, report, length, timeoutMs));
  }
  // hidraw reads and writes leave nothing under way.
  void HidCancel(HidDevice*) override {}
  void HidClose(HidDevice* device) override { hidraw::Close(device); }

 private:
  // hidraw leaves a failure's reason in errno: a null handle or a -1.
  template <typename T>
  T* Noted(T* result) {
    if (result == nullptr) NoteError(errno);
    return result;
  }
  int Noted(int result) {
    if (result < 0) NoteError(errno);
    return result;
  }
};

}  // namespace

Backend& Native() {
  static LinuxBackend backend;
  return backend;
}

}  // namespace kx::platform
