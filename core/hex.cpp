#include "core/hex.h"

namespace kx {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

// The reader's digits and ordinary hexadecimal in either case; other
// characters are not refused here, they fold into some value.
int DigitValue(unsigned char c) {
  if (c >= 0x61) c = static_cast<unsigned char>(c - 0x20);
  return c < 'A' ? c - 0x30 : c - 0x37;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

void HexEncode(HexMode mode, const std::uint8_t* bytes, char* text, int count) {
  if (count <= 0 || bytes == nullptr || text == nullptr) return;
  char* out = text;
  for (int i = 0; i < count; ++i) {
    const int high = bytes[i] >> 4;
    const int low = bytes[i] & 0x0F;
    if (mode == HexMode::FrameDigits) {
      *out++ = static_cast<char>(0x30 + high);
      *out++ = static_cast<char>(0x30 + low);
    } else {
      *out++ = kUpperDigits[high];
      *out++ = kUpperDigits[low];
      if (mode == HexMode::Spaced) *out++ = ' ';
    }
  }
  *out = '\0';
}

int HexEncode(int mode, const std::uint8_t* bytes, char* text, int count) {
  const HexMode hexMode = mode == 0   ? HexMode::Spaced
                          : mode == 1 ? HexMode::Packed
                                      : HexMode::FrameDigits;
  HexEncode(hexMode, bytes, text, count);
  return 1;
}

int HexDecode(const char* text, std::uint8_t* bytes, int length) {
  if (text == nullptr || bytes == nullptr) return -1;
  int count = 0;
  int i = 0;
  while (i < length) {
    while (text[i] == ' ') {
      ++i;
      if (i >= length) return count;
    }
    // A last digit without its partner inside `length` is dropped: the
    // character after it belongs to the caller, not to this text.
    if (i + 1 >= length) return count;
    const unsigned char high = static_cast<unsigned char>(text[i]);
    const unsigned char low = static_cast<unsigned char>(text[i + 1]);
    if (low == ' ') return -1;
    bytes[count] = static_cast<std::uint8_t>((DigitValue(high) * 16 + DigitValue(low)) & 0xFF);
    bytes[count + 1] = 0;
    ++count;
    i += 2;
  }
  return count;
}

bool IsHexText(const char* text, int length) {
  if (text == nullptr || length < 0 || length % 2 != 0) return false;
  for (int i = 0; i < length; ++i) {
    if (!IsHexDigit(text[i])) return false;
  }
  return true;
}

bool IsHexPairs(const char* text, int length) {
  if (text == nullptr || length < 0) return false;
  int i = 0;
  while (i < length) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= length || !IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) return false;
    i += 2;
  }
  return true;
}

}  // namespace kx
