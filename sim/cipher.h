// The one cipher primitive sim/crypto.cpp builds on: two-key triple DES over
// whole blocks, without padding. Linux builds run it through OpenSSL
// (sim/cipher_openssl.cpp); a build without libcrypto (the Windows simulator
// DLL) links a standard C++ one instead (simlib/cipher_portable.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/crypto.h"

namespace kx::sim {

// `n` bytes (a multiple of 8) from `in` to `out` (may be the same buffer):
// ECB when `iv` is null, else CBC from that 8-byte IV. False when n is not a
// multiple of 8 or the cipher fails.
bool TripleDesRun(const Key16& key, const std::uint8_t* iv, bool encrypt, const std::uint8_t* in,
                  std::size_t n, std::uint8_t* out);

}  // namespace kx::sim
