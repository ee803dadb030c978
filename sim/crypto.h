// Two-key triple DES for the simulated cards (sim/cipher.h runs the cipher).
//
// The card and the PSAM share one scheme:
//   derive   K' = E_K(D) || E_K(~D)   (16-byte key K, 8-byte block D)
//   encrypt  ECB over whole blocks, no padding
//   MAC      triple-DES CBC-MAC with a zero IV over whole blocks (ISO 9797-1
//            algorithm 1 with the triple-DES block cipher), 8 bytes
// Where a single DES would be needed, a key with two equal halves does it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx::sim {

using Block8 = std::array<std::uint8_t, 8>;
using Key16 = std::array<std::uint8_t, 16>;

// ECB over `n` bytes (a multiple of 8) from `in` to `out` (may be the same
// buffer). False when n is not a multiple of 8 or the cipher fails.
bool TripleDesEcb(const Key16& key, bool encrypt, const std::uint8_t* in, std::size_t n,
                  std::uint8_t* out);

// The same over a vector; empty result on failure.
std::vector<std::uint8_t> EncryptEcb(const Key16& key, const std::vector<std::uint8_t>& data);
std::vector<std::uint8_t> DecryptEcb(const Key16& key, const std::vector<std::uint8_t>& data);

Block8 EncryptBlock(const Key16& key, const Block8& block);
Block8 DecryptBlock(const Key16& key, const Block8& block);

// CBC-MAC with a zero IV; `data` must be a non-empty multiple of 8 bytes.
// False otherwise.
bool CbcMac(const Key16& key, const std::vector<std::uint8_t>& data, Block8* mac);

// One diversification step: E_K(D) || E_K(~D).
Key16 DeriveKey(const Key16& key, const Block8& d);

// Block from 8 bytes at `p`.
Block8 ToBlock(const std::uint8_t* p);

}  // namespace kx::sim
