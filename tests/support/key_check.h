// The terminal's side of an external authentication with a key of the user
// card, worked out from what the card shows (its reset answer and
// identification code), as the library's key check runs it. One helper for
// the tests that drive the simulated cards directly and for those that go
// through the library's exports.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "dictionary/dictionary.h"
#include "tests/support/hex.h"

namespace kx::test {

// One APDU to a card and its whole reply (data, SW1 SW2), after whatever
// 61xx and 6Cxx handling the way to the card does.
using ApduExchange = std::function<Bytes(const Bytes& apdu)>;

// The row of the key named `name` (the whole name) in the card's key table,
// or nullptr.
const CardKeyInfoRow* KeyNamed(const std::string& name);

// A card's diversification factors in the order they are applied: 8 bytes of
// the reset answer from index length - K + 5 (K historical bytes; missing
// bytes read as 0), "XXYY00sx" and "XX0000sh" from the identification code.
using CardFactors = std::array<Bytes, 3>;
CardFactors FactorsOfCard(const Bytes& atr, const Bytes& identificationCode);

// The data of the PSAM's diversify command for a key of `levels` levels: the
// first `levels` factors, then the card's challenge.
Bytes DiversificationData(const CardFactors& factors, int levels, const Bytes& challenge);

// Mistakes a terminal can make.
struct KeyCheckFaults {
  bool swapFactors = false;     // factor2 before the card factor
  bool firstChallenge = false;  // diversify with the first challenge, not the latest
  bool skipSelection = false;   // leave the card where it is
};

// External authentication with key `keyName` of the card's key table: the
// card selects the MF and the key's directory and gives two challenges; the
// PSAM (application DF01) diversifies the key's master key with the factors
// and the second challenge and encrypts the first; EXTERNAL AUTHENTICATE with
// that cryptogram and the first challenge. Returns the card's status word for
// it; 0xFFFF for a key the table lacks, 0xFFF1 to 0xFFF3 for a step before it
// that failed (selecting the MF, the directory, the PSAM's diversification).
std::uint16_t CheckKey(const std::string& keyName, const Bytes& atr,
                       const Bytes& identificationCode, const ApduExchange& card,
                       const ApduExchange& psam, KeyCheckFaults faults = {});

}  // namespace kx::test
