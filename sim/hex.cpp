#include "sim/hex.h"

namespace kx::sim {
namespace {

int NibbleOf(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string HexText(const std::uint8_t* bytes, std::size_t n, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0 && separator != '\0') text.push_back(separator);
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::optional<Bytes> ParseHex(std::string_view text) {
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return std::nullopt;
      continue;
    }
    const int nibble = NibbleOf(c);
    if (nibble < 0) return std::nullopt;
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | nibble));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

}  // namespace kx::sim
