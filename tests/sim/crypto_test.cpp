// The simulator's triple-DES layer: known answers, the two-key EDE order, the
// derive step and the CBC-MAC the PSAM and the card share.
#include "sim/crypto.h"

#include <gtest/gtest.h>

#include "tests/sim/card_support.h"

namespace kx::test {
namespace {

using kx::sim::Block8;
using kx::sim::Key16;

Key16 KeyOf(const std::string& hex) {
  const Bytes bytes = HexBytes(hex);
  Key16 key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}
Block8 BlockOf(const std::string& hex) {
  return kx::sim::ToBlock(HexBytes(hex).data());
}
// A key with equal halves is single DES.
Key16 SingleDes(const std::string& hex8) {
  return KeyOf(hex8 + hex8);
}

TEST(SimCryptoTest, EqualHalvesGiveTheKnownSingleDesAnswers) {
  EXPECT_EQ(
      FromBlock(sim::EncryptBlock(SingleDes("0123456789ABCDEF"), BlockOf("4E6F772069732074"))),
      HexBytes("3FA40E8A984D4815"));
  EXPECT_EQ(
      FromBlock(sim::EncryptBlock(SingleDes("133457799BBCDFF1"), BlockOf("0123456789ABCDEF"))),
      HexBytes("85E813540F0AB405"));
  EXPECT_EQ(
      FromBlock(sim::DecryptBlock(SingleDes("133457799BBCDFF1"), BlockOf("85E813540F0AB405"))),
      HexBytes("0123456789ABCDEF"));
}

TEST(SimCryptoTest, TwoKeyTripleDesIsEncryptDecryptEncrypt) {
  const std::string k1 = "0123456789ABCDEF", k2 = "FEDCBA9876543210";
  const Block8 plain = BlockOf("1122334455667788");
  const Block8 expected = sim::EncryptBlock(
      SingleDes(k1), sim::DecryptBlock(SingleDes(k2), sim::EncryptBlock(SingleDes(k1), plain)));
  EXPECT_EQ(sim::EncryptBlock(KeyOf(k1 + k2), plain), expected);
  EXPECT_EQ(sim::DecryptBlock(KeyOf(k1 + k2), expected), plain);
  EXPECT_NE(sim::EncryptBlock(KeyOf(k2 + k1), plain), expected);
}

TEST(SimCryptoTest, EcbWorksBlockByBlockAndRefusesPartialBlocks) {
  const Key16 key = KeyOf("00112233445566778899AABBCCDDEEFF");
  const Bytes data = HexBytes("0001020304050607 08090A0B0C0D0E0F 0001020304050607");
  const Bytes out = sim::EncryptEcb(key, data);
  ASSERT_EQ(out.size(), 24u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), Bytes(out.begin() + 16, out.end()));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8),
            FromBlock(sim::EncryptBlock(key, sim::ToBlock(data.data()))));
  EXPECT_EQ(sim::DecryptEcb(key, out), data);
  EXPECT_TRUE(sim::EncryptEcb(key, Bytes(7, 0)).empty());
}

TEST(SimCryptoTest, DeriveStepEncryptsTheBlockAndItsComplement) {
  const Key16 key = KeyOf("404142434445464748494A4B4C4D4E4F");
  const Block8 d = BlockOf("3303290000000000");
  const Key16 derived = sim::DeriveKey(key, d);
  EXPECT_EQ(Bytes(derived.begin(), derived.begin() + 8), FromBlock(sim::EncryptBlock(key, d)));
  EXPECT_EQ(Bytes(derived.begin() + 8, derived.end()),
            FromBlock(sim::EncryptBlock(key, BlockOf("CCFCD6FFFFFFFFFF"))));
}

TEST(SimCryptoTest, CbcMacChainsEveryBlockFromAZeroIv) {
  const Key16 key = KeyOf("0123456789ABCDEFFEDCBA9876543210");
  const Bytes data = HexBytes("0000000000000000 841E00010C112233 4455667788800000");
  Block8 chain{};
  for (std::size_t at = 0; at < data.size(); at += 8) {
    for (int k = 0; k < 8; ++k) chain[k] ^= data[at + k];
    chain = sim::EncryptBlock(key, chain);
  }
  Block8 mac{};
  ASSERT_TRUE(sim::CbcMac(key, data, &mac));
  EXPECT_EQ(mac, chain);
  EXPECT_FALSE(sim::CbcMac(key, Bytes(12, 0), &mac));
  EXPECT_FALSE(sim::CbcMac(key, Bytes{}, &mac));
}

}  // namespace
}  // namespace kx::test
