// HID report gathering and the PIN pad's answer, with every input report
// from the input: report lengths (usable or not), reports of any content
// and timing, headers, padding and ETX anywhere. The reader's USB side
// carries the reader commands; the pad answers KXReadPassword. Oracles: no
// write past the caller's buffers, gathered answers terminated inside
// them, results among the codes the link and the pad promise, a PIN handed
// back only as six characters, and no call waiting past its limits.
#include <cstring>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "fuzz/harness.h"
#include "link/hid_link.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "reader/commands.h"
#include "reader/frame.h"
#include "reader/pin_pad.h"

namespace {

using kx::platform::sim::SimHidDevice;

// Answers every report the host writes with reports from the input.
class InputReports : public kx::sim::SerialDevice {
 public:
  explicit InputReports(FuzzedDataProvider& input) : input_(input) {}
  void Wire(SimHidDevice* device) { device_ = device; }

  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t*, std::size_t) override {
    const int count = input_.ConsumeIntegralInRange(0, 8);
    std::uint32_t due = 0;
    for (int i = 0; i < count && input_.remaining_bytes() > 0; ++i) {
      // Mostly quick, now and then past the 1000 ms a further report gets.
      const std::uint8_t gap = input_.ConsumeIntegral<std::uint8_t>();
      due += gap < 200 ? gap : 100u * (gap - 199u);
      const std::size_t length = input_.ConsumeIntegralInRange<std::size_t>(0, 260);
      device_->SendReport(input_.ConsumeBytes<std::uint8_t>(length), due);
    }
    return {};
  }

 private:
  FuzzedDataProvider& input_;
  SimHidDevice* device_ = nullptr;
};

int ReportLength(FuzzedDataProvider& input) {
  static const int kCommon[] = {2, 3, 4, 9, 17, 33, 65, 256};
  return input.ConsumeBool() ? kCommon[input.ConsumeIntegralInRange(0, 7)]
                             : input.ConsumeIntegralInRange(-1, 300);
}

// The first report within the limit and its 1000 ms step (+ the pad's
// pause), then 1000 ms for each further report of a 256-byte buffer.
std::uint32_t GatherLimitMs(int seconds) {
  return 1000u * static_cast<std::uint32_t>(seconds) + 1010u + 1000u * 256u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);
  platform::sim::SimBackend backend;
  ResetLibraryForTests();
  platform::SetBackend(&backend);

  const bool pad = input.ConsumeBool();
  platform::sim::HidDeviceSetup setup;
  setup.vendorId = pad ? platform::sim::kVendor7B15 : platform::sim::kVendor3C4E;
  setup.productId = pad ? platform::sim::kPinPadProduct : platform::sim::kReaderProduct3C4E;
  setup.inputReportLength = ReportLength(input);
  setup.outputReportLength = ReportLength(input);
  InputReports model(input);
  SimHidDevice& device = backend.Hid().Attach(setup, &model);
  model.Wire(&device);

  if (pad) {
    while (input.remaining_bytes() > 0) {
      const std::uint32_t start = backend.Now();
      fuzz::ExactBuffer pin(7);
      const int r = KXReadPassword(input.ConsumeIntegralInRange(0, 2), pin.text());
      KX_FUZZ_CHECK(r == 0 || r == -2 || r == -4 || r == -15);
      if (r == 0) KX_FUZZ_CHECK(std::strlen(pin.text()) == 6);
      KX_FUZZ_CHECK(backend.Now() - start <= GatherLimitMs(kPinPadTimeoutSeconds) + 2000u);
      KX_FUZZ_CHECK(device.opens == 0);  // the pad is let go after every answer
    }
  } else if (KXReaderInitTest(kUsbPort, 9600) == 0) {
    while (input.remaining_bytes() > 0) {
      const std::uint32_t start = backend.Now();
      std::uint32_t limitMs = GatherLimitMs(5) + 1000u;
      switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
          fuzz::CheckedRawRead(input, true);
          break;
        case 1:
          fuzz::CheckedPowerOn();
          break;
        case 2: {
          fuzz::ExactBuffer hex(KX_APDU_HEX_REPLY_SIZE);
          const int r = KXRunApduTest(0, 10, "0084000008", hex.text());
          KX_FUZZ_CHECK(r >= 4 || r < 0);
          if (r >= 0) KX_FUZZ_CHECK(std::strlen(hex.text()) == static_cast<std::size_t>(r));
          limitMs *= 3;  // the command, a GET RESPONSE, a re-send
          break;
        }
        default:
          fuzz::CheckedStatusQuery();
          break;
      }
      KX_FUZZ_CHECK(backend.Now() - start <= limitMs);
      KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
    }
  }
  ResetLibraryForTests();
  return 0;
}
