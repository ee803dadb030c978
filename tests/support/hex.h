// Hex text in tests: APDUs and replies written as "00 A4 02 00".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx::test {

using Bytes = std::vector<std::uint8_t>;

// "00 A4 02 00" or "00A40200" (spaces ignored) to bytes. Throws
// std::invalid_argument on a character that is no hex digit or an odd count,
// so a typo in a test fails loudly instead of sending other bytes.
Bytes HexBytes(const std::string& text);
// Bytes as "00 A4 02 00".
std::string HexText(const Bytes& bytes);

}  // namespace kx::test
