// A platform backend in front of another: counts the calls the library makes
// through the seam (on a real system each is a system call or a clock read)
// and the milliseconds it sleeps, and tells a hook when a call enters and
// leaves the backend behind, so a test can tell the library's own work from
// the simulator's. The benchmarks put it in front of the native backend.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"

namespace kx::test {

class CountingBackend : public platform::Backend {
 public:
  enum Call {
    kOpen,
    kSetLine,
    kSetQueues,
    kSetRts,
    kPurge,
    kWrite,
    kBytesWaiting,
    kRead,
    kWaitReadable,
    kNativeHandle,
    kClose,
    kHidListOpen,
    kHidListEntry,
    kHidListRelease,
    kHidOpen,
    kHidReportLengths,
    kHidDiscardInput,
    kHidWrite,
    kHidRead,
    kHidCancel,
    kHidClose,
    kTick,
    kSleep,
    kEscapePressed,
    kHasEscapeKey,
    kCallKinds
  };
  // Called with true before and false after every call into `inner`.
  using Hook = void (*)(bool entering);

  explicit CountingBackend(platform::Backend& inner, Hook hook = nullptr)
      : inner_(inner), hook_(hook) {}

 private:
  // Defined ahead of the calls that use it, which deduce its result type.
  template <typename F>
  auto Pass(Call call, F&& forward) {
    ++counts_[call];
    struct Scope {
      Hook hook;
      explicit Scope(Hook h) : hook(h) {
        if (hook != nullptr) hook(true);
      }
      ~Scope() {
        if (hook != nullptr) hook(false);
      }
    } scope(hook_);
    return forward();
  }

 public:
  int Count(Call call) const { return counts_[call]; }
  int Total() const {
    int total = 0;
    for (int n : counts_) total += n;
    return total;
  }
  std::uint64_t SleptMs() const { return sleptMs_; }
  void Reset() {
    counts_.fill(0);
    sleptMs_ = 0;
  }

  platform::SerialPort* SerialOpen(int port) override {
    return Pass(kOpen, [&] { return inner_.SerialOpen(port); });
  }
  bool SerialSetLine(platform::SerialPort* p, int baud, int byteSize, int parity) override {
    return Pass(kSetLine, [&] { return inner_.SerialSetLine(p, baud, byteSize, parity); });
  }
  bool SerialSetQueues(platform::SerialPort* p, int in, int out) override {
    return Pass(kSetQueues, [&] { return inner_.SerialSetQueues(p, in, out); });
  }
  bool SerialSetRts(platform::SerialPort* p, bool raised) override {
    return Pass(kSetRts, [&] { return inner_.SerialSetRts(p, raised); });
  }
  void SerialPurge(platform::SerialPort* p) override {
    Pass(kPurge, [&] { inner_.SerialPurge(p); });
  }
  int SerialWrite(platform::SerialPort* p, const std::uint8_t* bytes, int count,
                  std::uint32_t timeoutMs) override {
    return Pass(kWrite, [&] { return inner_.SerialWrite(p, bytes, count, timeoutMs); });
  }
  int SerialBytesWaiting(platform::SerialPort* p) override {
    return Pass(kBytesWaiting, [&] { return inner_.SerialBytesWaiting(p); });
  }
  int SerialRead(platform::SerialPort* p, std::uint8_t* buffer, int maxBytes) override {
    return Pass(kRead, [&] { return inner_.SerialRead(p, buffer, maxBytes); });
  }
  bool SerialWaitReadable(platform::SerialPort* p, std::uint32_t timeoutMs) override {
    return Pass(kWaitReadable, [&] { return inner_.SerialWaitReadable(p, timeoutMs); });
  }
  std::uint32_t SerialNativeHandle(platform::SerialPort* p) override {
    return Pass(kNativeHandle, [&] { return inner_.SerialNativeHandle(p); });
  }
  void SerialClose(platform::SerialPort* p) override {
    Pass(kClose, [&] { inner_.SerialClose(p); });
  }
  platform::HidDeviceList* HidListOpen() override {
    return Pass(kHidListOpen, [&] { return inner_.HidListOpen(); });
  }
  platform::HidEntry HidListEntry(platform::HidDeviceList* list, int index,
                                  platform::HidInterface* entry) override {
    return Pass(kHidListEntry, [&] { return inner_.HidListEntry(list, index, entry); });
  }
  void HidListRelease(platform::HidDeviceList* list) override {
    Pass(kHidListRelease, [&] { inner_.HidListRelease(list); });
  }
  platform::HidDevice* HidOpen(const char* path) override {
    return Pass(kHidOpen, [&] { return inner_.HidOpen(path); });
  }
  platform::HidCaps HidGetReportLengths(platform::HidDevice* d,
                                        platform::HidReportLengths* lengths) override {
    return Pass(kHidReportLengths, [&] { return inner_.HidGetReportLengths(d, lengths); });
  }
  void HidDiscardInput(platform::HidDevice* d) override {
    Pass(kHidDiscardInput, [&] { inner_.HidDiscardInput(d); });
  }
  int HidWriteReport(platform::HidDevice* d, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override {
    return Pass(kHidWrite, [&] { return inner_.HidWriteReport(d, report, length, timeoutMs); });
  }
  int HidReadReport(platform::HidDevice* d, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override {
    return Pass(kHidRead, [&] { return inner_.HidReadReport(d, report, length, timeoutMs); });
  }
  void HidCancel(platform::HidDevice* d) override {
    Pass(kHidCancel, [&] { inner_.HidCancel(d); });
  }
  void HidClose(platform::HidDevice* d) override {
    Pass(kHidClose, [&] { inner_.HidClose(d); });
  }
  // Not counted: asked only after a failure, for the trace.
  int LastOsError() override { return inner_.LastOsError(); }
  const char* OsErrorReason(int code) override { return inner_.OsErrorReason(code); }
  std::uint32_t TickMs() override {
    return Pass(kTick, [&] { return inner_.TickMs(); });
  }
  void SleepMs(std::uint32_t ms) override {
    sleptMs_ += ms;
    Pass(kSleep, [&] { inner_.SleepMs(ms); });
  }
  bool EscapePressed() override {
    return Pass(kEscapePressed, [&] { return inner_.EscapePressed(); });
  }
  bool HasEscapeKey() override {
    return Pass(kHasEscapeKey, [&] { return inner_.HasEscapeKey(); });
  }

 private:
  platform::Backend& inner_;
  Hook hook_;
  std::array<int, kCallKinds> counts_{};
  std::uint64_t sleptMs_ = 0;
};

}  // namespace kx::test
