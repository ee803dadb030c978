// The simulated platform: serial ports and HID devices wired to in-process
// simulated devices, a virtual millisecond clock, and a scriptable Escape
// key. Tests install it with kx::platform::SetBackend; a 5 s time-out then
// takes microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_hid.h"
#include "sim/wire.h"

namespace kx::platform::sim {

struct LineSettings {
  int baud = 0;
  int byteSize = 0;
  int parity = 0;  // the code the link passed
};

class SimBackend : public Backend {
 public:
  SimBackend();
  ~SimBackend() override;

  // ---- wiring ----
  // A device on COM port `port`; ports without a device do not open.
  void Attach(int port, kx::sim::SerialDevice* device);
  void Detach(int port);
  // Paces the line of `port` at `baud`: each byte takes 10 bit times, both
  // ways (0, the default: bytes cross at once). Kept across opens.
  void SetBaud(int port, std::uint32_t baud);

  // The HID devices (platform/sim/sim_hid.h).
  HidBus& Hid();

  // ---- clock and keyboard ----
  // From now on the clock follows the machine's monotonic time, and sleeps
  // and the HID devices' waits really block (for benchmarks). Serial ports
  // keep their virtual waits.
  void UseRealClock();
  std::uint32_t Now() const;
  void Advance(std::uint32_t ms);
  void SetNow(std::uint32_t tickMs);  // e.g. close to 2^32 to test wrap-around
  void PressEscapeAt(std::uint32_t tickMs);
  void SetEscapeDown(bool down);
  // Without a key (as on POSIX) EscapePressed is never true and HasEscapeKey
  // says so. There is one by default.
  void SetEscapeKey(bool present);

  // ---- what the library did, per port ----
  // Every SerialWrite's bytes, in order (control sequences included).
  const std::vector<std::vector<std::uint8_t>>& Writes(int port) const;
  void ClearWrites();
  int OpenCount(int port) const;
  bool IsOpen(int port) const;
  LineSettings Line(int port) const;
  bool Rts(int port) const;
  int PurgeCount(int port) const;
  // Number of SerialWaitReadable calls, and the longest wait asked for.
  int WaitCalls() const;
  std::uint32_t LongestWaitMs() const;
  // Bytes the device sent after the link's buffer was full, or that the
  // link never read, for tests of overlong replies.
  std::size_t PendingBytes(int port) const;
  // The bound the last SerialWrite was given.
  std::uint32_t LastWriteTimeoutMs() const;
  int SleepCalls() const;
  // Milliseconds of every SleepMs so far.
  std::uint64_t SleptMs() const;

  // ---- faults ----
  // Writes on `port` never complete: each one takes its whole time-out and
  // reports 0 bytes written.
  void StallWrites(int port, bool stall);
  // Setting the line or the queue sizes of `port` fails.
  void FailLineSettings(int port, bool fail);
  void FailQueueSizes(int port, bool fail);
  // A line error on `port`: reads fail until the next query of the bytes
  // waiting clears it, as a driver that aborts reads on errors does.
  void RaiseLineError(int port);
  // Reads on `port` fail while set, whatever is waiting.
  void FailReads(int port, bool fail);
  // The device on `port` is pulled out at tick `tickMs`: from then on the
  // open port's writes, reads and queries fail and a wait for input ends at
  // once, as a hung-up tty's or a removed USB adapter's do; the port does not
  // open again until Attach.
  void PullOutAt(int port, std::uint32_t tickMs);
  // Opening `port` fails with the operating system's `osError` (an errno
  // value: EACCES, EBUSY, ...) while set; 0 lets it open again. Every other
  // failure of the simulated platform notes an errno value of its own.
  void RefuseOpen(int port, int osError);

  // ---- Backend ----
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
  HidDeviceList* HidListOpen() override;
  HidEntry HidListEntry(HidDeviceList* list, int index, HidInterface* entry) override;
  void HidListRelease(HidDeviceList* list) override;
  HidDevice* HidOpen(const char* path) override;
  HidCaps HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) override;
  void HidDiscardInput(HidDevice* device) override;
  int HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                     std::uint32_t timeoutMs) override;
  int HidReadReport(HidDevice* device, std::uint8_t* report, int length,
                    std::uint32_t timeoutMs) override;
  void HidCancel(HidDevice* device) override;
  void HidClose(HidDevice* device) override;
  int LastOsError() override;
  const char* OsErrorReason(int code) override;
  std::uint32_t TickMs() override;
  void SleepMs(std::uint32_t ms) override;
  bool EscapePressed() override;
  bool HasEscapeKey() override;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace kx::platform::sim
