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

// The pad sends each key as it is pressed, STX with the first one and ETX
// with Enter.
std::vector<ReplyChunk> PinPad::Answer() const {
  if (script_.silent) return {};
  const std::string typed = script_.cancelled ? std::string() : script_.typed;
  std::vector<ReplyChunk> chunks;
  chunks.push_back({script_.firstKeyMs, {kStx}});
  for (std::size_t i = 0; i < typed.size(); ++i) {
    const auto key = static_cast<std::uint8_t>(typed[i]);
    if (i == 0) {
      chunks.back().bytes.push_back(key);
    } else {
      chunks.push_back({script_.perKeyMs, {key}});
    }
  }
  chunks.push_back({typed.empty() ? 0 : script_.perKeyMs, {kEtx}});
  return chunks;
}

}  // namespace kx::sim
