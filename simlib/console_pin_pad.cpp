#include "simlib/console_pin_pad.h"

#include <cstring>

#include "core/wipe.h"

namespace kx::simlib {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

}  // namespace

std::vector<kx::sim::ReplyChunk> ConsolePinPad::OnHostBytes(const std::uint8_t* bytes,
                                                            std::size_t n) {
  std::vector<kx::sim::ReplyChunk> out;
  for (std::size_t i = 0; i < n; ++i) {
    const bool asks = afterEsc_ && (bytes[i] == 'I' || bytes[i] == 'E');
    afterEsc_ = bytes[i] == kEsc;
    if (asks) out.push_back(Ask());
  }
  return out;
}

kx::sim::ReplyChunk ConsolePinPad::Ask() {
  std::fputs("KX_ICCReader simulator: PIN pad: type the PIN and press Enter: ", prompt_);
  std::fflush(prompt_);
  char line[64];
  WipeOnExit wipe(line, sizeof line);
  kx::sim::ReplyChunk answer;
  answer.bytes.push_back(kStx);
  if (std::fgets(line, sizeof line, in_) != nullptr) {
    const std::size_t typed = std::strcspn(line, "\r\n");
    answer.bytes.insert(answer.bytes.end(), line, line + typed);
    // Keys past the pad's display are lost, up to Enter.
    if (line[typed] == '\0') {
      for (int c = std::fgetc(in_); c != EOF && c != '\n';) c = std::fgetc(in_);
    }
  } else {
    std::fputs("\n", prompt_);
  }
  answer.bytes.push_back(kEtx);
  return answer;
}

}  // namespace kx::simlib
