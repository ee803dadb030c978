// Triple DES (two keys, EDE) in standard C++, for builds of the simulated
// devices where OpenSSL's libcrypto is not at hand (the Windows simulator
// DLL). A test holds it to libcrypto's results on the Linux build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::simlib {

// One 8-byte block through E(K1) D(K2) E(K1) (or its inverse), `key` 16 bytes.
void TripleDesBlock(const std::uint8_t* key, bool encrypt, const std::uint8_t* in,
                    std::uint8_t* out);

}  // namespace kx::simlib
