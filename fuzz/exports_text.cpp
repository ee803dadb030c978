// Every export that takes a caller's text or a length: hex conversions,
// command texts, messages, PIN texts, file names, COM device paths, record
// and binary lengths. Each text sits in a heap buffer of exactly its size
// and every output buffer has the size the header states, so the sanitizer
// sees any read or write past them. Cards answer from the input.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "fuzz/harness.h"

namespace {

using kx::fuzz::ExactBuffer;

// A NUL-terminated text from the input in a buffer of exactly its size.
ExactBuffer Text(FuzzedDataProvider& input, std::size_t longest) {
  const std::string text = input.ConsumeRandomLengthString(longest);
  ExactBuffer buffer(text.size() + 1);
  std::memcpy(buffer.bytes(), text.c_str(), text.size() + 1);
  return buffer;
}

int Length(FuzzedDataProvider& input, int longest) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return input.ConsumeIntegralInRange(-2, 16);
    case 1:
      return input.ConsumeIntegralInRange(-2, longest);
    case 2:
      return input.ConsumeBool() ? INT_MIN : INT_MAX;
    default:
      return input.ConsumeIntegral<int>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  FuzzedDataProvider input(data, size);
  auto card = std::make_shared<fuzz::InputCard>(input);
  fuzz::ReaderBench bench(card, card);

  for (int step = 0; step < 6 && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange(0, 11)) {
      case 0: {  // GetHex: `count` bytes in, 3 * count + 1 characters out at most
        const int count = input.ConsumeIntegralInRange(-3, 300);
        const fuzz::Bytes bytes = input.ConsumeBytes<std::uint8_t>(count > 0 ? count : 0);
        if (count > 0 && bytes.size() < static_cast<std::size_t>(count)) break;
        ExactBuffer in(bytes.empty() ? 1 : bytes.size());
        if (!bytes.empty()) std::memcpy(in.bytes(), bytes.data(), bytes.size());
        const int mode = input.ConsumeIntegralInRange(-1, 3);
        ExactBuffer out(count > 0 ? (mode == 0 ? 3u : 2u) * count + 1 : 1);
        KX_FUZZ_CHECK(GetHex(mode, in.bytes(), out.text(), count) == 1);
        break;
      }
      case 1: {  // GetASC: `length` characters in, count + 1 bytes out
        const std::string text = input.ConsumeRandomLengthString(700);
        ExactBuffer in(text.empty() ? 1 : text.size());
        if (!text.empty()) std::memcpy(in.bytes(), text.data(), text.size());
        ExactBuffer out(text.size() / 2 + 1);
        const int n = GetASC(in.text(), out.bytes(), static_cast<int>(text.size()));
        KX_FUZZ_CHECK(n >= -1 && n <= static_cast<int>(text.size()) / 2);
        break;
      }
      case 2: {  // a command text, with any length beside it
        ExactBuffer text = Text(input, 700);
        ExactBuffer reply(KX_APDU_HEX_REPLY_SIZE);
        const int r = KXRunApduTest(0, Length(input, 700), text.text(), reply.text());
        KX_FUZZ_CHECK(r < KX_APDU_HEX_REPLY_SIZE);
        break;
      }
      case 3: {  // a command of any length
        const int length = Length(input, 600);
        const fuzz::Bytes command = input.ConsumeBytes<std::uint8_t>(700);
        ExactBuffer in(700);
        std::memset(in.bytes(), 0, 700);
        if (!command.empty()) std::memcpy(in.bytes(), command.data(), command.size());
        ExactBuffer reply(KX_APDU_REPLY_SIZE);
        int replyLength = 0;
        // A caller passes a length up to its command buffer, or a bad one.
        if (length <= 700) KXRunApdu(0, length, in.bytes(), &replyLength, reply.bytes());
        break;
      }
      case 4: {  // messages of any code, with any ErrorText behind them
        ErrorTextReplace(input.ConsumeRandomLengthString(800).c_str());
        ExactBuffer message(KX_ERR_MESSAGE_SIZE);
        KXGetErrMessage(input.ConsumeIntegral<int>(), message.text());
        KX_FUZZ_CHECK(message.Terminated());
        break;
      }
      case 5: {  // records: le and length of any value
        const int le = Length(input, 300);
        ExactBuffer record(le >= 1 && le <= 256 ? static_cast<std::size_t>(le) : 256u);
        KXReadRecord(0, input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(), le,
                     record.bytes());
        const int length = Length(input, 300);
        ExactBuffer update(length >= 1 && length <= 300 ? static_cast<std::size_t>(length) : 300u);
        std::memset(update.bytes(), 0x5A, update.size());
        if (length <= 300) KXUpdateRecord(0, 1, 4, length, update.bytes());
        break;
      }
      case 6: {  // PIN texts
        ExactBuffer pin = Text(input, 60);
        ExactBuffer other = Text(input, 60);
        int retries = -1;
        switch (input.ConsumeIntegralInRange(0, 4)) {
          case 0:
            SetPin(pin.text());
            break;
          case 1:
            KXCardVerifyPIN(0, pin.text(), &retries);
            break;
          case 2:
            KXCardChangePIN(0, pin.text(), other.text(), &retries);
            break;
          case 3:
            testKXCardVerifyPIN(pin.text());
            break;
          default:
            testKXCardChangePIN(pin.text(), other.text());
            break;
        }
        break;
      }
      case 7: {  // file names of any length, any data text
        ExactBuffer directory = Text(input, 12);
        ExactBuffer file = Text(input, 12);
        const std::string text = input.ConsumeRandomLengthString(3000);
        // Raw items are read over their width: the data holds the file's
        // whole-file output (zero bytes past the text), or more.
        const std::size_t room =
            std::max(text.size() + 1, fuzz::WholeFileOutput(directory.text(), file.text()));
        ExactBuffer data(room);
        std::memset(data.bytes(), 0, room);
        std::memcpy(data.bytes(), text.data(), text.size());
        ExactBuffer out(KX_COMBINED_TEXT_SIZE_MAX);
        const int r = CombinedData(input.ConsumeIntegralInRange(0, 3), directory.text(),
                                   file.text(), data.text(), out.text());
        KX_FUZZ_CHECK(r == 0 || r == -12);
        break;
      }
      case 8: {  // COM device paths
        ExactBuffer path = Text(input, 400);
        KXSetComDevice(input.ConsumeIntegral<int>(), input.ConsumeBool() ? path.text() : nullptr);
        break;
      }
      case 9: {  // reader opening with any port and baud
        int params[2] = {input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>()};
        unsigned int handle = 0;
        if (input.ConsumeBool()) params[0] = input.ConsumeIntegralInRange(0, 101);
        KXReaderInit(params, &handle);
        KXReaderInitTest(1, 9600);
        break;
      }
      case 10: {  // interface codes and the reset answer
        KXSelectIFD(0, input.ConsumeIntegral<int>());
        ExactBuffer atr(KX_RESET_ANSWER_HEX_SIZE);
        KXCpuReset(0, atr.text());
        KXSelectIFD(0, 12);
        break;
      }
      default: {  // the reader's texts
        ExactBuffer model(KX_READER_MODEL_SIZE), version(KX_READER_VERSION_SIZE);
        KX_FUZZ_CHECK(GetReaderInfo(0, model.text(), version.text()) == 0);
        ExactBuffer pin(7);
        KXReadPassword(input.ConsumeIntegralInRange(0, 2), pin.text());
        break;
      }
    }
    KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
  }
  return 0;
}
