// Records, the card identification code, the diversification factors and the
// PSAM's identifier from hostile records and reset answers: every reply of
// the user card and of the PSAM comes from the input. Oracles: the caller's
// buffers of the stated sizes are never overrun, and what a success hands
// back has the form it promises.
#include <cctype>
#include <cstring>

#include "KX_ICCReader.h"
#include "card/commands.h"
#include "core/state.h"
#include "link/link_state.h"
#include "fuzz/harness.h"
#include "tests/support/state_operation.h"

namespace {

bool IsUpperHex(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
        std::islower(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);
  auto user = std::make_shared<fuzz::InputCard>(input);
  auto psam = std::make_shared<fuzz::InputCard>(input);
  fuzz::ReaderBench bench(user, psam);
  if (!bench.bench.opened()) return 0;

  for (int step = 0; step < 8 && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange(0, 5)) {
      case 0: {
        const int le = input.ConsumeIntegralInRange(-1, 257);
        fuzz::ExactBuffer record(le >= 1 && le <= 256 ? static_cast<std::size_t>(le) : 256u);
        if (KXReadRecord(0, input.ConsumeIntegral<std::uint8_t>(), 4, le, record.bytes()) == 0) {
          const std::size_t hex = std::strlen(LastRecordHex);
          KX_FUZZ_CHECK(hex % 2 == 0 && hex < static_cast<std::size_t>(kLastRecordHexSize));
          KX_FUZZ_CHECK(IsUpperHex(LastRecordHex, hex));
        }
        break;
      }
      case 1: {
        KXSelectIFD(0, input.ConsumeBool() ? 12 : 14);
        fuzz::ExactBuffer atr(KX_RESET_ANSWER_HEX_SIZE);
        if (KXCpuReset(0, atr.text()) == 0) {
          KX_FUZZ_CHECK(atr.Terminated() && IsUpperHex(atr.text(), std::strlen(atr.text())));
        }
        KXSelectIFD(0, 12);
        break;
      }
      case 2: {
        fuzz::ExactBuffer f1(kFactorSize), f2(kFactorSize), cardFactor(kFactorSize);
        if (BuildDiversificationFactors(test::Op(), f1.bytes(), f2.bytes(), cardFactor.bytes()) ==
            0) {
          KX_FUZZ_CHECK(std::memcmp(f1.bytes() + 2, "0000sh", 6) == 0);
          KX_FUZZ_CHECK(std::memcmp(f2.bytes() + 4, "00sx", 4) == 0);
          KX_FUZZ_CHECK(IsUpperHex(f2.text(), 4));
        }
        break;
      }
      case 3: {
        fuzz::ExactBuffer code(kIdentificationCodeSize);
        ReadIdentificationCode(test::Op(), code.bytes());
        break;
      }
      case 4: {
        fuzz::ExactBuffer id(KX_PSAM_ID_SIZE);
        if (KXGetPsamID(0, id.text()) == 0) {
          KX_FUZZ_CHECK(std::strlen(id.text()) == 12 && IsUpperHex(id.text(), 12));
        }
        break;
      }
      default: {
        fuzz::ExactBuffer id(KX_PSAM_ID_SIZE), atr(KX_RESET_ANSWER_HEX_SIZE);
        if (KXGetPsamIDATR(0, id.text(), atr.text()) == 0) {
          KX_FUZZ_CHECK(std::strlen(id.text()) == 12 && atr.Terminated());
        }
        fuzz::ExactBuffer last(KX_RECORD_HEX_SIZE);
        KX_FUZZ_CHECK(GetCurRecordData(last.text()) >= 1 && last.Terminated());
        break;
      }
    }
    KX_FUZZ_CHECK(ResetAnswerLength >= 0 && ResetAnswerLength <= kResetAnswerSize);
    KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
    // A failed master-file selection closes the link; open it again.
    if (!SerialPortOpen) KXReaderInitTest(1, 9600);
  }
  return 0;
}
