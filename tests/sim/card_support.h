// Helpers for the tests of the simulated user card and PSAM: APDUs written as
// hex text, status words, and the terminal's side of a key authentication.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/dictionary.h"
#include "sim/card.h"
#include "sim/crypto.h"
#include "sim/keys.h"
#include "sim/personalise.h"
#include "sim/profile.h"
#include "sim/user_card.h"

namespace kx::test {

using kx::sim::Bytes;

inline Bytes HexBytes(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::string HexText(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

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

// The diversification data of a key with `levels` levels: the first levels
// factors (card factor, factor2, factor1) and the card's latest challenge.
inline Bytes DiversificationData(const kx::sim::DiversificationFactors& f, int levels,
                                 const Bytes& challenge) {
  Bytes data;
  const kx::sim::Block8* order[] = {&f.cardFactor, &f.factor2, &f.factor1};
  for (int k = 0; k < levels; ++k) data.insert(data.end(), order[k]->begin(), order[k]->end());
  data.insert(data.end(), challenge.begin(), challenge.end());
  return data;
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

// Faults a terminal can make in a key authentication.
struct AuthenticationFaults {
  bool swapFactors = false;     // factor2 before the card factor
  bool firstChallenge = false;  // diversify with the first challenge, not the latest
  bool skipSelection = false;   // leave the card where it is
};

// The terminal's side of an external authentication with `keyName` of the
// card's key table, as the key check runs it: select the MF and the key's
// directory, two challenges, the PSAM derives the key with the card's factors
// and the second challenge and encrypts the first; EXTERNAL AUTHENTICATE.
// Returns the card's status word for it (or the failing step's).
inline std::uint16_t Authenticate(kx::sim::UserCard& card, kx::sim::Card& psam,
                                  const std::string& keyName, AuthenticationFaults faults = {}) {
  kx::CardKeyInfoRow row{};
  if (kx::FindCardKeyByName(keyName.c_str(), &row) != 0) return 0xFFFF;
  const std::string directory(row.directory);
  if (!faults.skipSelection) {
    if (Sw(Exchange(card, "00A40000023F00")) != 0x9000) return 0xFFF1;
    if (directory != "3F00" && Sw(Exchange(card, "00A4020002" + directory)) != 0x9000) {
      return 0xFFF2;
    }
  }
  const Bytes c1 = Data(Exchange(card, "0084000008"));
  const Bytes c2 = Data(Exchange(card, "0084000008"));
  kx::sim::DiversificationFactors f =
      kx::sim::FactorsFor(card.profile().atr, kx::sim::IdentificationCode(card.profile()));
  if (faults.swapFactors) std::swap(f.cardFactor, f.factor2);
  psam.PowerOn();
  Exchange(psam, "00A40000023F00");
  Exchange(psam, "00A4000002DF01");
  const Bytes diversification = DiversificationData(f, row.levels, faults.firstChallenge ? c1 : c2);
  const Bytes usageIndex = HexBytes(std::string(row.psamKeyUsage) + row.psamKeyIndex);
  if (Sw(Exchange(psam, Header({0xBF, 0xDE, usageIndex[0], usageIndex[1]}, diversification))) !=
      0x9000) {
    return 0xFFF3;
  }
  Bytes encrypt = Header({0x80, 0xFA, 0x00, 0x00}, c1);
  encrypt.push_back(0x00);
  const Bytes cryptogram = Data(Exchange(psam, encrypt));
  const std::uint8_t keyId = HexBytes(row.cardKeyId)[0];
  return Sw(Exchange(card, Header({0x00, 0x82, 0x00, keyId}, Concat({cryptogram, c1}))));
}

}  // namespace kx::test
