// The reply frame decoder on raw bytes as the link hands them over. Oracle:
// a frame the decoder takes, encoded again from its status and data, decodes
// to the same status and data, and when it carried exactly what its length
// field announced the encoding is the received frame itself, digit for digit.
#include <cstring>

#include "core/state.h"
#include "fuzz/harness.h"
#include "reader/frame.h"

namespace {

int Nibble(std::uint8_t c) {
  if (c >= 'a') c = static_cast<std::uint8_t>(c - 0x20);
  return c < 'A' ? c - '0' : c - 'A' + 10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  // The link stores at most one byte less than its 1024-byte buffer.
  if (size >= static_cast<std::size_t>(kReceiveBufferSize)) return 0;
  fuzz::ExactBuffer received(size);
  if (size > 0) std::memcpy(received.bytes(), data, size);

  ErrorTextClear();
  ReplyFrame frame;
  const int r = DecodeReplyFrame(received.bytes(), static_cast<int>(size), &frame);
  KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
  KX_FUZZ_CHECK(r == 0 || r == -4);
  if (r != 0) return 0;
  KX_FUZZ_CHECK(frame.carried >= 0 && frame.carried <= kMaxReplyData);
  KX_FUZZ_CHECK(frame.status >= 0 && frame.status <= 0xFFFF);
  // The receiver refuses a length field that promises more than came.
  if (frame.declared < 0 || frame.declared > frame.carried) return 0;

  const fuzz::Bytes payload(frame.data(), frame.data() + frame.declared);
  const fuzz::Bytes again = sim::EncodeReplyFrame(frame.status, payload);
  ReplyFrame second;
  KX_FUZZ_CHECK(DecodeReplyFrame(again.data(), static_cast<int>(again.size()), &second) == 0);
  KX_FUZZ_CHECK(second.status == frame.status);
  KX_FUZZ_CHECK(second.declared == frame.declared && second.carried == frame.declared);
  KX_FUZZ_CHECK(std::memcmp(second.data(), frame.data(), payload.size()) == 0);

  if (frame.declared == frame.carried) {
    const auto* stx = static_cast<const std::uint8_t*>(std::memchr(data, 0x02, size));
    KX_FUZZ_CHECK(stx != nullptr);
    for (std::size_t i = 1; i + 1 < again.size(); ++i) {
      KX_FUZZ_CHECK(Nibble(stx[i]) == again[i] - '0');
    }
    KX_FUZZ_CHECK(stx[again.size() - 1] == 0x03);
  }
  return 0;
}
