// The two bytes that bound everything on the line: a frame to or from the
// reader, and the PIN pad's answer, start with STX and end with ETX.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;

}  // namespace kx
