// The simulated platform's HID devices: chosen identities and report
// lengths, wired to a device model that speaks bytes (the simulated reader,
// the simulated PIN pad) or fed with scripted reports, on the simulated
// platform's clock.
//
// A device model sees the payload of each output report with its zero
// padding taken off (neither the reader's frames nor the pad's commands end
// in a zero byte). Its answer is cut into input reports of L_in - 1 payload
// bytes, the last one zero-padded; a report is sent when its last byte is
// ready, so a slow answer arrives report by report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/wire.h"

namespace kx::platform::sim {

// The identities the simulated devices present.
inline constexpr std::uint16_t kVendor3C4E = 0x3C4E;
inline constexpr std::uint16_t kVendor7B15 = 0x7B15;
inline constexpr std::uint16_t kReaderProduct3C4E = 0x0402;
inline constexpr std::uint16_t kReaderProduct7B15 = 0x0201;
inline constexpr std::uint16_t kPinPadProduct = 0x0101;

// The clock the devices run on: the simulated platform's.
class SimClock {
 public:
  virtual ~SimClock() = default;
  virtual std::uint64_t NowMs() = 0;
  // Returns at `instant` (at once when it has passed).
  virtual void WaitUntilMs(std::uint64_t instant) = 0;
};

struct HidDeviceSetup {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t version = 0x0100;
  int inputReportLength = 9;
  int outputReportLength = 9;
  // Two bytes (the answer's length, high byte first) ahead of the answer in
  // its first report, as some readers send.
  bool answerHeader = false;
};

struct HidDeviceFaults {
  bool enumerationFails = false;  // its step of the enumeration fails
  bool pathUnreadable = false;
  bool identityUnreadable = false;
  bool openFails = false;
  bool noPreparsedData = false;
  bool noCapabilities = false;
  bool outputReportUnsettable = false;
  // The next n writes take their whole wait and fail (-1: every write).
  int stalledWrites = 0;
  bool unplugged = false;  // reads and writes fail at once
};

class SimHidDevice {
 public:
  HidDeviceSetup setup;
  HidDeviceFaults faults;

  // Queues an input report (zero-padded to L_in) sent `delayMs` from now.
  // A report is lost unless someone has the device open when it is read:
  // opening a device nobody held starts with an empty queue.
  void SendReport(const std::vector<std::uint8_t>& report, std::uint32_t delayMs = 0);

  // Every output report written, whole (report id and padding included).
  std::vector<std::vector<std::uint8_t>> written;
  int opens = 0;  // opens not yet closed
  int cancels = 0;
  int discards = 0;
  // Input reports dropped unread by a discard.
  int reportsDropped = 0;
  // Reports sent and not yet read.
  std::size_t Pending() const { return reports_.size(); }

 private:
  friend class HidBus;
  struct Report {
    std::uint64_t due;
    std::vector<std::uint8_t> bytes;
  };
  void Schedule(std::uint64_t due, std::vector<std::uint8_t> bytes);
  void Answer(std::uint64_t now, std::vector<kx::sim::ReplyChunk> chunks);

  SimClock* clock_ = nullptr;
  kx::sim::SerialDevice* model_ = nullptr;
  std::string path_;
  std::deque<Report> reports_;  // ordered by due time
};

class HidBus {
 public:
  explicit HidBus(SimClock& clock) : clock_(clock) {}

  // Attaches a device answered by `model` (none: only scripted reports).
  SimHidDevice& Attach(const HidDeviceSetup& setup, kx::sim::SerialDevice* model = nullptr);
  void DetachAll();

  bool listUnavailable = false;
  // The list never reports its end: every index past the devices fails.
  bool endlessList = false;
  int listSteps = 0;  // enumeration steps taken
  int listsHeld = 0;  // lists opened and not released

  // ---- the HID operations of the platform seam ----
  HidDeviceList* ListOpen();
  HidEntry ListEntry(int index, HidInterface* entry);
  void ListRelease();
  HidDevice* Open(const char* path);
  HidCaps GetReportLengths(HidDevice* device, HidReportLengths* lengths);
  void DiscardInput(HidDevice* device);
  int WriteReport(HidDevice* device, const std::uint8_t* report, int length,
                  std::uint32_t timeoutMs);
  int ReadReport(HidDevice* device, std::uint8_t* report, int length, std::uint32_t timeoutMs);
  void Cancel(HidDevice* device);
  void Close(HidDevice* device);

 private:
  SimClock& clock_;
  std::vector<std::unique_ptr<SimHidDevice>> devices_;
};

}  // namespace kx::platform::sim
