// Hexadecimal text: the codecs the frames, the card commands, the dictionary
// and the host (GetHex, GetASC) share.
#pragma once

#include <cstdint>

namespace kx {

enum class HexMode : int {
  Spaced = 0,       // "01 AB ": upper-case pairs, each followed by a space
  Packed = 1,       // "01AB"
  FrameDigits = 2,  // "01:;": nibble n as the character 0x30 + n (any other mode too)
};

// Writes `count` bytes as text in `mode`, then a NUL; count <= 0 writes
// nothing at all. `text` holds 3 * count + 1 bytes (Spaced) or 2 * count + 1.
void HexEncode(HexMode mode, const std::uint8_t* bytes, char* text, int count);

// GetHex's form: any mode number other than 0 and 1 gives frame digits.
// Returns 1.
int HexEncode(int mode, const std::uint8_t* bytes, char* text, int count);

// Decodes `length` characters, skipping spaces, two characters a byte; upper
// and lower case and the frame digits ':' to '?' are read, any other
// character folds into a byte unchecked. Writes a 0 after the last byte, so
// `bytes` holds count + 1. Returns the byte count, or -1 when a space stands
// where a pair's second digit belongs. A last digit without a partner within
// `length` is ignored; nothing past `length` is read.
int HexDecode(const char* text, std::uint8_t* bytes, int length);

// True when the first `length` characters are hex digits (either case), an
// even number of them, nothing else.
bool IsHexText(const char* text, int length);

// True when the first `length` characters are pairs of hex digits (either
// case), with any number of spaces between the pairs and nothing else.
bool IsHexPairs(const char* text, int length);

}  // namespace kx
