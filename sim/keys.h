// The issuer's master keys, known to the simulated PSAM, and the way a user
// card's keys are diversified from them with the card's own factors.
//
// The keys are fictional: they follow from a fixed root, so every run of the
// simulator (and every saved profile) agrees with every PSAM it meets.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/crypto.h"

namespace kx::sim {

// True when the PSAM holds a master key for (key usage, key index): every
// pair the card's key table names.
bool IsIssuerKey(std::uint8_t usage, std::uint8_t index);

// The master key for (usage, index). Defined for any pair; the PSAM only
// answers for the pairs of IsIssuerKey.
Key16 IssuerMasterKey(std::uint8_t usage, std::uint8_t index);

// A card's diversification factors, in the order they are applied.
struct DiversificationFactors {
  Block8 cardFactor;  // 8 bytes of the reset answer's historical bytes
  Block8 factor2;     // "XXYY00sx": identification code bytes 0 and 1 in hex
  Block8 factor1;     // "XX0000sh": identification code byte 0 in hex
};

// 8 bytes of the reset answer from index length - K + 5, K = T0 & 0x0F (the
// historical bytes 6 to 13 of an answer without a check byte). Bytes the
// answer lacks read as 0.
Block8 CardFactorFromAtr(const std::vector<std::uint8_t>& atr);

// The factors of a card with this reset answer and identification code
// (the code's value bytes; missing bytes read as 0).
DiversificationFactors FactorsFor(const std::vector<std::uint8_t>& atr,
                                  const std::vector<std::uint8_t>& identificationCode);

// The master key diversified with the first `levels` factors (0 to 3), one
// derive step each: cardFactor, then factor2, then factor1.
Key16 DiversifyCardKey(const Key16& master, int levels, const DiversificationFactors& factors);

// The check bytes the PSAM gives an identification code: IRK diversified
// with the card factor of `atr`, the two region factors from the first four
// and two characters of `codeText` exactly as written, and eight zero bytes;
// then the 12 code bytes and four zeros enciphered, bytes 8 to 11 of the
// result. `codeText` holds the code's first 12 bytes as 24 hex digits;
// nullopt for anything else.
std::optional<std::array<std::uint8_t, 4>> IdentificationCheckBytes(
    const std::vector<std::uint8_t>& atr, const std::string& codeText);

}  // namespace kx::sim
