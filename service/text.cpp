#include "service/text.h"

#include <cstdio>

namespace kxservice {

namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Hex(const unsigned char* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

bool ParseHex(const std::string& text, std::string* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = Digit(text[i]), low = Digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::string MessageToUtf8(const std::string& gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  // Keep what converts; name the bytes that do not.
  std::string out;
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    const auto c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    std::string piece;
    if (i + 1 < gbk.size() && GbkToUtf8(gbk.substr(i, 2), &piece)) {
      out += piece;
      ++i;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    out += escaped;
  }
  return out;
}

}  // namespace kxservice
