// Hex text of bytes, the one codec the simulator uses for its traces, its
// options and its profile file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

// Upper-case digits, "3B 6D 00" with `separator` ' ', "3B6D00" with '\0'.
std::string HexText(const std::uint8_t* bytes, std::size_t n, char separator = ' ');
inline std::string HexText(const Bytes& bytes, char separator = ' ') {
  return HexText(bytes.data(), bytes.size(), separator);
}

// Reads "3B6D00", "3b 6d 00" or "3B\t6D": spaces and tabs may stand between
// whole bytes. nullopt for anything else, a byte split by a space or an odd
// digit count included.
std::optional<Bytes> ParseHex(std::string_view text);

}  // namespace kx::sim
