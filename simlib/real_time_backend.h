// The simulated platform as an integrator's host meets it: a serial wait
// for a reader that has not answered yet takes its real time (the simulated
// platform's own serial waits are virtual even on its real clock), and the
// Escape key is the machine's own (the native backend's). Everything else
// is the simulated platform's, which is made on the first call: installed
// while the library loads, this backend needs nothing built before it.
#pragma once

#include "platform/platform.h"
#include "platform/sim/sim_backend.h"

namespace kx::simlib {

class RealTimeBackend final : public platform::Backend {
 public:
  // `sim` gives the simulated platform, on its real clock
  // (SimBackend::UseRealClock), the same one at every call.
  using Platform = platform::sim::SimBackend& (*)();
  explicit constexpr RealTimeBackend(Platform sim) : sim_(sim) {}

  platform::SerialPort* SerialOpen(int port) override { return sim_().SerialOpen(port); }
  bool SerialSetLine(platform::SerialPort* port, int baud, int byteSize, int parity) override {
    return sim_().SerialSetLine(port, baud, byteSize, parity);
  }
  bool SerialSetQueues(platform::SerialPort* port, int in, int out) override {
    return sim_().SerialSetQueues(port, in, out);
  }
  bool SerialSetRts(platform::SerialPort* port, bool raised) override {
    return sim_().SerialSetRts(port, raised);
  }
  void SerialPurge(platform::SerialPort* port) override { sim_().SerialPurge(port); }
  int SerialWrite(platform::SerialPort* port, const std::uint8_t* bytes, int count,
                  std::uint32_t timeoutMs) override;
  int SerialBytesWaiting(platform::SerialPort* port) override {
    return sim_().SerialBytesWaiting(port);
  }
  int SerialRead(platform::SerialPort* port, std::uint8_t* buffer, int maxBytes) override {
    return sim_().SerialRead(port, buffer, maxBytes);
  }
  bool SerialWaitReadable(platform::SerialPort* port, std::uint32_t timeoutMs) override;
  std::uint32_t SerialNativeHandle(platform::SerialPort* port) override {
    return sim_().SerialNativeHandle(port);
  }
  void SerialClose(platform::SerialPort* port) override { sim_().SerialClose(port); }

  platform::HidDeviceList* HidListOpen() override { return sim_().HidListOpen(); }
  platform::HidEntry HidListEntry(platform::HidDeviceList* list, int index,
                                  platform::HidInterface* entry) override {
    return sim_().HidListEntry(list, index, entry);
  }
  void HidListRelease(platform::HidDeviceList* list) override { sim_().HidListRelease(list); }
  platform::HidDevice* HidOpen(const char* path) override { return sim_().HidOpen(path); }
  platform::HidCaps HidGetReportLengths(platform::HidDevice* device,
                                        platform::HidReportLengths* lengths) override {
    return sim_().HidGetReportLengths(device, lengths);
  }
  void HidDiscardInput(platform::HidDevice* device) override { sim_().HidDiscardInput(device); }
  int HidWriteReport(platform::HidDevice* device, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override {
    return sim_().HidWriteReport(device, report, length, timeoutMs);
  }
  int HidReadReport(platform::HidDevice* device, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override {
    return sim_().HidReadReport(device, report, length, timeoutMs);
  }
  void HidCancel(platform::HidDevice* device) override { sim_().HidCancel(device); }
  void HidClose(platform::HidDevice* device) override { sim_().HidClose(device); }

  int LastOsError() override { return sim_().LastOsError(); }
  const char* OsErrorReason(int code) override { return sim_().OsErrorReason(code); }
  std::uint32_t TickMs() override { return sim_().TickMs(); }
  void SleepMs(std::uint32_t ms) override { sim_().SleepMs(ms); }
  bool EscapePressed() override { return platform::Native().EscapePressed(); }
  bool HasEscapeKey() override { return platform::Native().HasEscapeKey(); }

 private:
  Platform sim_;
};

}  // namespace kx::simlib
