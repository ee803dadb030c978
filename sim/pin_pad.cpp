#include "sim/pin_pad.h"

#include <cstdio>

namespace kx::sim {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kCancelPrompt = 0x83;

}  // namespace

std::vector<ReplyChunk> PinPad::OnHostBytes(const std::uint8_t* bytes, std::size_t n) {
  std::vector<ReplyChunk> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = bytes[i];
    if (afterEsc_) {
      afterEsc_ = false;
      if (b == 'I' || b == 'E') {
        commands_.push_back(std::string("ESC ") + static_cast<char>(b));
        std::vector<ReplyChunk> answer = Answer();
        out.insert(out.end(), answer.begin(), answer.end());
        continue;
      }
      commands_.push_back("1B");
    }
    if (b == kEsc) {
      afterEsc_ = true;
    } else if (b == kCancelPrompt) {
      commands_.push_back("83");
    } else {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", b);
      commands_.push_back(hex);
    }
  }
  return out;
}

// The pad keeps the keys on its display and sends them all with Enter.
std::vector<ReplyChunk> PinPad::Answer() const {
  if (script_.silent) return {};
  // No copy of the typed characters on this stack: the library's tests look
  // there for copies the library left.
  const std::size_t keys = script_.cancelled ? 0 : script_.typed.size();
  ReplyChunk answer;
  answer.delayMs = script_.firstKeyMs + static_cast<std::uint32_t>(keys) * script_.perKeyMs;
  answer.bytes.push_back(kStx);
  answer.bytes.insert(answer.bytes.end(), script_.typed.begin(),
                      script_.typed.begin() + static_cast<std::ptrdiff_t>(keys));
  answer.bytes.push_back(kEtx);
  return {answer};
}

}  // namespace kx::sim
