// The simulated cards' cipher in standard C++ (simlib/des.h), for builds
// without OpenSSL.
#include <algorithm>
#include <cstdint>

#include "sim/cipher.h"
#include "simlib/des.h"

namespace kx::sim {

bool TripleDesRun(const Key16& key, const std::uint8_t* iv, bool encrypt, const std::uint8_t* in,
                  std::size_t n, std::uint8_t* out) {
  if (n % 8 != 0) return false;
  std::uint8_t chain[8] = {};
  if (iv != nullptr) std::copy(iv, iv + 8, chain);
  for (std::size_t at = 0; at < n; at += 8) {
    std::uint8_t block[8];
    std::copy(in + at, in + at + 8, block);
    if (iv == nullptr) {
      simlib::TripleDesBlock(key.data(), encrypt, block, out + at);
    } else if (encrypt) {
      for (int i = 0; i < 8; ++i) block[i] ^= chain[i];
      simlib::TripleDesBlock(key.data(), true, block, out + at);
      std::copy(out + at, out + at + 8, chain);
    } else {
      simlib::TripleDesBlock(key.data(), false, block, out + at);
      for (int i = 0; i < 8; ++i) out[at + i] ^= chain[i];
      std::copy(block, block + 8, chain);
    }
  }
  return true;
}

}  // namespace kx::sim
