// A byte stream cut at arbitrary points and spread over (virtual) time,
// through the serial read loop and the reader commands above it. Oracles:
// no call waits past its limit, results are the codes the layers promise,
// and nothing lands outside the buffers.
#include <cstring>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "fuzz/harness.h"
#include "link/reader_port.h"
#include "reader/commands.h"
#include "reader/frame.h"

namespace {

// A slice of the readability wait past the limit, at most.
constexpr std::uint32_t kSlackMs = 10;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);
  fuzz::InputLine line(input);
  fuzz::Bench bench(&line);
  if (!bench.opened()) return 0;

  while (input.remaining_bytes() > 0) {
    const std::uint32_t start = bench.backend().Now();
    std::uint32_t limitMs = 0;
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0:
        limitMs = 1000u * static_cast<std::uint32_t>(fuzz::CheckedRawRead(input, false));
        break;
      case 1:
        fuzz::CheckedPowerOn();
        limitMs = 2000;
        break;
      case 2: {
        const std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
        fuzz::ExactBuffer reply(KX_APDU_REPLY_SIZE);
        int length = -1;
        const int r = TransmitApdu(0, apdu, 5, 5, reply.bytes(), KX_APDU_REPLY_SIZE, &length);
        KX_FUZZ_CHECK(fuzz::ReaderCode(r));
        KX_FUZZ_CHECK(r != 0 || (length >= 0 && length <= KX_APDU_REPLY_SIZE));
        limitMs = 5000;
        break;
      }
      default:
        fuzz::CheckedStatusQuery();
        limitMs = 2000;
        break;
    }
    KX_FUZZ_CHECK(bench.backend().Now() - start <= limitMs + kSlackMs);
    KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
  }
  return 0;
}
