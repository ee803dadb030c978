#include "sim/keys.h"

#include <algorithm>
#include <string>

#include "sim/card_layout.h"
#include "sim/hex.h"

namespace kx::sim {
namespace {

// Root of every master key. Fictional; the simulator's keys protect nothing.
constexpr Key16 kIssuerRoot = {'K', 'X', '-', 'S', 'I', 'M', ' ', 'I',
                               'S', 'S', 'U', 'E', 'R', ' ', '0', '1'};

}  // namespace

bool IsIssuerKey(std::uint8_t usage, std::uint8_t index) {
  const std::span<const CardKey> keys = CardKeys();
  return std::any_of(keys.begin(), keys.end(), [&](const CardKey& key) {
    return key.psamUsage == usage && key.psamIndex == index;
  });
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
  const std::uint8_t code[] = {b0, b1};
  const std::string factor2 = HexText(code, 2, '\0') + "00sx";
  const std::string factor1 = HexText(code, 1, '\0') + "0000sh";
  DiversificationFactors f;
  f.cardFactor = CardFactorFromAtr(atr);
  std::copy_n(factor2.begin(), f.factor2.size(), f.factor2.begin());
  std::copy_n(factor1.begin(), f.factor1.size(), f.factor1.begin());
  return f;
}

Key16 DiversifyCardKey(const Key16& master, int levels, const DiversificationFactors& factors) {
  const Block8* order[] = {&factors.cardFactor, &factors.factor2, &factors.factor1};
  Key16 key = master;
  for (int level = 0; level < levels && level < 3; ++level) key = DeriveKey(key, *order[level]);
  return key;
}

std::optional<std::array<std::uint8_t, 4>> IdentificationCheckBytes(
    const std::vector<std::uint8_t>& atr, const std::string& codeText) {
  const std::optional<Bytes> code = ParseHex(codeText);
  if (!code || code->size() != 12 || codeText.size() != 24) return std::nullopt;
  const CardKey* irk = CardKeyNamed(kMasterFile, "IRK");
  if (irk == nullptr) return std::nullopt;

  DiversificationFactors factors;
  factors.cardFactor = CardFactorFromAtr(atr);
  const std::string factor2 = codeText.substr(0, 4) + "00sx";
  const std::string factor1 = codeText.substr(0, 2) + "0000sh";
  std::copy_n(factor2.begin(), factors.factor2.size(), factors.factor2.begin());
  std::copy_n(factor1.begin(), factors.factor1.size(), factors.factor1.begin());
  Key16 key =
      DiversifyCardKey(IssuerMasterKey(irk->psamUsage, irk->psamIndex), irk->levels, factors);
  key = DeriveKey(key, Block8{});

  Bytes block = *code;
  block.resize(16, 0x00);
  const Bytes enciphered = EncryptEcb(key, block);
  if (enciphered.size() != 16) return std::nullopt;
  std::array<std::uint8_t, 4> check{};
  std::copy_n(enciphered.begin() + 8, check.size(), check.begin());
  return check;
}

}  // namespace kx::sim
