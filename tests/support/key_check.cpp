#include "tests/support/key_check.h"

#include <cstdio>
#include <cstring>

namespace kx::test {
namespace {

std::uint16_t StatusOf(const Bytes& reply) {
  if (reply.size() < 2) return 0;
  return static_cast<std::uint16_t>(reply[reply.size() - 2] << 8 | reply.back());
}

Bytes DataOf(const Bytes& reply) {
  return reply.size() < 2 ? Bytes{} : Bytes(reply.begin(), reply.end() - 2);
}

// CLA INS P1 P2 Lc data.
Bytes Command(std::initializer_list<std::uint8_t> header, const Bytes& data) {
  Bytes out(header);
  out.push_back(static_cast<std::uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Ascii(const char* text) {
  return Bytes(text, text + std::strlen(text));
}

}  // namespace

const CardKeyInfoRow* KeyNamed(const std::string& name) {
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    if (name == row->keyName) return row;
  }
  return nullptr;
}

CardFactors FactorsOfCard(const Bytes& atr, const Bytes& identificationCode) {
  Bytes cardFactor(8, 0x00);
  if (atr.size() >= 2) {
    const long start = static_cast<long>(atr.size()) - (atr[1] & 0x0F) + 5;
    for (long k = 0; k < 8; ++k) {
      if (start + k >= 0 && start + k < static_cast<long>(atr.size()))
        cardFactor[k] = atr[start + k];
    }
  }
  const unsigned b0 = identificationCode.size() > 0 ? identificationCode[0] : 0;
  const unsigned b1 = identificationCode.size() > 1 ? identificationCode[1] : 0;
  char factor2[16], factor1[16];
  std::snprintf(factor2, sizeof factor2, "%02X%02X00sx", b0, b1);
  std::snprintf(factor1, sizeof factor1, "%02X0000sh", b0);
  return {cardFactor, Ascii(factor2), Ascii(factor1)};
}

Bytes DiversificationData(const CardFactors& factors, int levels, const Bytes& challenge) {
  Bytes data;
  for (int k = 0; k < levels && k < 3; ++k) {
    data.insert(data.end(), factors[k].begin(), factors[k].end());
  }
  data.insert(data.end(), challenge.begin(), challenge.end());
  return data;
}

std::uint16_t CheckKey(const std::string& keyName, const Bytes& atr,
                       const Bytes& identificationCode, const ApduExchange& card,
                       const ApduExchange& psam, KeyCheckFaults faults) {
  const CardKeyInfoRow* key = KeyNamed(keyName);
  if (key == nullptr || !key->cardKey.valid) return 0xFFFF;
  if (!faults.skipSelection) {
    if (StatusOf(card(HexBytes("00A4000002 3F00"))) != 0x9000) return 0xFFF1;
    const Bytes directory = {static_cast<std::uint8_t>(key->directoryId >> 8),
                             static_cast<std::uint8_t>(key->directoryId & 0xFF)};
    if (key->directoryId != 0x3F00 &&
        StatusOf(card(Command({0x00, 0xA4, 0x02, 0x00}, directory))) != 0x9000) {
      return 0xFFF2;
    }
  }
  const Bytes challenge1 = DataOf(card(HexBytes("0084000008")));
  const Bytes challenge2 = DataOf(card(HexBytes("0084000008")));

  CardFactors factors = FactorsOfCard(atr, identificationCode);
  if (faults.swapFactors) std::swap(factors[0], factors[1]);
  psam(HexBytes("00A4000002 3F00"));
  psam(HexBytes("00A4000002 DF01"));
  const Bytes diversification =
      DiversificationData(factors, key->levels, faults.firstChallenge ? challenge1 : challenge2);
  if (StatusOf(psam(Command({0xBF, 0xDE, key->psamUsage.value, key->psamIndex.value},
                            diversification))) != 0x9000) {
    return 0xFFF3;
  }
  Bytes encrypt = Command({0x80, 0xFA, 0x00, 0x00}, challenge1);
  encrypt.push_back(0x00);
  Bytes proof = DataOf(psam(encrypt));
  proof.insert(proof.end(), challenge1.begin(), challenge1.end());
  return StatusOf(card(Command({0x00, 0x82, 0x00, key->cardKey.value}, proof)));
}

}  // namespace kx::test
