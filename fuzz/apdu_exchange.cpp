// The APDU exchange with every reply of the card taken from the input: 61xx
// and 6Cxx chains, empty and one-byte replies, status words such as 00 00,
// replies longer than a frame carries. Oracles: success only for a final
// 90 00, at most one GET RESPONSE and one re-send, results that are codes,
// and the reply within the size the header states.
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "fuzz/harness.h"

namespace {

// 0, a library code, or a card's status word (SW1 01 and above).
bool ExchangeCode(int r) {
  return r == 0 || (r <= -1 && r >= -15) || r <= -0x100;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);
  const bool asText = input.ConsumeBool();
  const int length = input.ConsumeBool() ? input.ConsumeIntegralInRange(-2, 12)
                                         : input.ConsumeIntegralInRange(-2, 620);
  const fuzz::Bytes command =
      input.ConsumeBytes<std::uint8_t>(static_cast<std::size_t>(std::max(length, 0)));
  auto card = std::make_shared<fuzz::InputCard>(input);
  fuzz::ReaderBench bench(card, nullptr);
  if (!bench.bench.opened()) return 0;

  if (!asText) {
    fuzz::ExactBuffer reply(KX_APDU_REPLY_SIZE);
    int replyLength = -1;
    fuzz::ExactBuffer sent(command.empty() ? 1 : command.size());
    if (!command.empty()) std::memcpy(sent.bytes(), command.data(), command.size());
    const int n = std::min(length, static_cast<int>(command.size()));
    const int r = KXRunApdu(0, n, sent.bytes(), &replyLength, reply.bytes());
    KX_FUZZ_CHECK(ExchangeCode(r));
    if (r == 0) {
      KX_FUZZ_CHECK(replyLength >= 2 && replyLength <= KX_APDU_REPLY_SIZE);
      KX_FUZZ_CHECK(reply.bytes()[replyLength - 2] == 0x90 && reply.bytes()[replyLength - 1] == 0);
    }
  } else {
    // The command as a text: hex of the bytes, or the bytes themselves.
    std::string text;
    if (input.ConsumeBool()) {
      text.assign(command.begin(), command.end());
    } else {
      static const char kDigits[] = "0123456789ABCDEF";
      for (std::uint8_t b : command) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
      }
    }
    fuzz::ExactBuffer textBuffer(text.size() + 1);
    std::memcpy(textBuffer.bytes(), text.c_str(), text.size() + 1);
    const int hexLength =
        input.ConsumeBool() ? static_cast<int>(text.size()) : input.ConsumeIntegralInRange(-1, 700);
    if (hexLength > static_cast<int>(text.size())) {
      // The text counts up to its terminator; past it the caller's buffer ends.
    }
    fuzz::ExactBuffer hexReply(KX_APDU_HEX_REPLY_SIZE);
    const int r = KXRunApduTest(0, hexLength, textBuffer.text(), hexReply.text());
    KX_FUZZ_CHECK(r > 0 || ExchangeCode(r));
    if (r >= 0) {
      KX_FUZZ_CHECK(r >= 4 && r % 2 == 0 && r < KX_APDU_HEX_REPLY_SIZE);
      KX_FUZZ_CHECK(std::strlen(hexReply.text()) == static_cast<std::size_t>(r));
      KX_FUZZ_CHECK(std::strcmp(hexReply.text() + r - 4, "9000") == 0);
    }
  }
  // The first send, one GET RESPONSE, one re-send.
  KX_FUZZ_CHECK(card->Transmitted() <= 3);
  KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
  return 0;
}
