// Helpers for the tests of the simulated user card and PSAM: APDUs written as
// hex text, status words, and the terminal's side of a key authentication.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/crypto.h"
#include "sim/personalise.h"
#include "sim/user_card.h"
#include "tests/support/hex.h"
#include "tests/support/key_check.h"

namespace kx::test {

inline std::uint16_t Sw(const Bytes& reply) {
  if (reply.size() < 2) return 0;
  return static_cast<std::uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
}

inline Bytes Data(const Bytes& reply) {
  return reply.size() < 2 ? Bytes{} : Bytes(reply.begin(), reply.end() - 2);
}

inline Bytes Send(kx::sim::Card& card, const std::string& hex) {
  return card.Transmit(HexBytes(hex));
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Header(std::initializer_list<std::uint8_t> header, const Bytes& data) {
  Bytes out(header);
  out.push_back(static_cast<std::uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

inline Bytes FromBlock(const kx::sim::Block8& b) {
  return Bytes(b.begin(), b.end());
}

// One exchange as the library makes it: a 61xx is followed by one GET
// RESPONSE, a 6Cxx by one re-send with the corrected Le.
inline Bytes Exchange(kx::sim::Card& card, Bytes command) {
  Bytes reply = card.Transmit(command);
  if (reply.size() == 2 && reply[0] == 0x61)
    reply = card.Transmit({0x00, 0xC0, 0x00, 0x00, reply[1]});
  if (reply.size() == 2 && reply[0] == 0x6C) {
    command.back() = reply[1];
    reply = card.Transmit(command);
  }
  return reply;
}
inline Bytes Exchange(kx::sim::Card& card, const std::string& hex) {
  return Exchange(card, HexBytes(hex));
}

// The factors a terminal works out from what the card holds.
inline CardFactors FactorsOf(const kx::sim::UserCard& card) {
  return FactorsOfCard(card.profile().atr, kx::sim::IdentificationCode(card.profile()));
}

// A key check of `keyName` straight on the two simulated cards.
inline std::uint16_t Authenticate(kx::sim::UserCard& card, kx::sim::Card& psam,
                                  const std::string& keyName, KeyCheckFaults faults = {}) {
  psam.PowerOn();
  return CheckKey(
      keyName, card.profile().atr, kx::sim::IdentificationCode(card.profile()),
      [&](const Bytes& apdu) { return Exchange(card, apdu); },
      [&](const Bytes& apdu) { return Exchange(psam, apdu); }, faults);
}

}  // namespace kx::test
