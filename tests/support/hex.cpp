#include "tests/support/hex.h"

#include <stdexcept>

namespace kx::test {
namespace {

int NibbleOf(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bytes HexBytes(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int nibble = NibbleOf(c);
    if (nibble < 0) throw std::invalid_argument("not a hex digit in \"" + text + "\"");
    if (high < 0) {
      high = nibble;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + nibble));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd digit count in \"" + text + "\"");
  return out;
}

std::string HexText(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace kx::test
