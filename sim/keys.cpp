#include "sim/keys.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dictionary/dictionary.h"

namespace kx::sim {
namespace {

// Root of every master key. Fictional; the simulator's keys protect nothing.
constexpr Key16 kIssuerRoot = {'K', 'X', '-', 'S', 'I', 'M', ' ', 'I',
                               'S', 'S', 'U', 'E', 'R', ' ', '0', '1'};

bool ParseHexByte(const char* text, std::uint8_t* value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 16);
  if (end == text || *end != '\0' || v < 0 || v > 0xFF) return false;
  *value = static_cast<std::uint8_t>(v);
  return true;
}

void HexDigits(std::uint8_t byte, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  out[0] = kDigits[byte >> 4];
  out[1] = kDigits[byte & 0x0F];
}

}  // namespace

bool IsIssuerKey(std::uint8_t usage, std::uint8_t index) {
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    std::uint8_t u = 0, i = 0;
    if (ParseHexByte(row->psamKeyUsage, &u) && ParseHexByte(row->psamKeyIndex, &i) && u == usage &&
        i == index) {
      return true;
    }
  }
  return false;
}

Key16 IssuerMasterKey(std::uint8_t usage, std::uint8_t index) {
  const Block8 label = {'M', usage, index, 'K', 'X', 'S', 'I', 'M'};
  return DeriveKey(kIssuerRoot, label);
}

Block8 CardFactorFromAtr(const std::vector<std::uint8_t>& atr) {
  Block8 factor{};
  if (atr.size() < 2) return factor;
  const long historical = atr[1] & 0x0F;
  const long start = static_cast<long>(atr.size()) - historical + 5;
  for (long k = 0; k < 8; ++k) {
    const long at = start + k;
    if (at >= 0 && at < static_cast<long>(atr.size())) factor[k] = atr[at];
  }
  return factor;
}

DiversificationFactors FactorsFor(const std::vector<std::uint8_t>& atr,
                                  const std::vector<std::uint8_t>& identificationCode) {
  const std::uint8_t b0 = identificationCode.size() > 0 ? identificationCode[0] : 0;
  const std::uint8_t b1 = identificationCode.size() > 1 ? identificationCode[1] : 0;
  DiversificationFactors f;
  f.cardFactor = CardFactorFromAtr(atr);
  HexDigits(b0, reinterpret_cast<char*>(&f.factor2[0]));
  HexDigits(b1, reinterpret_cast<char*>(&f.factor2[2]));
  std::memcpy(&f.factor2[4], "00sx", 4);
  HexDigits(b0, reinterpret_cast<char*>(&f.factor1[0]));
  std::memcpy(&f.factor1[2], "0000sh", 6);
  return f;
}

Key16 DiversifyCardKey(const Key16& master, int levels, const DiversificationFactors& factors) {
  const Block8* order[] = {&factors.cardFactor, &factors.factor2, &factors.factor1};
  Key16 key = master;
  for (int level = 0; level < levels && level < 3; ++level) key = DeriveKey(key, *order[level]);
  return key;
}

}  // namespace kx::sim
