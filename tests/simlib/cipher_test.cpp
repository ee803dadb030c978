// The simulator DLL's own triple DES (simlib/), for builds without libcrypto,
// against libcrypto's: ECB and CBC, both ways, random keys, IVs and lengths.
// (The simulator's known-answer tests run over it too: see CMakeLists.txt.)
#include "sim/cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

namespace kx::test {
namespace {

std::vector<std::uint8_t> Libcrypto(const sim::Key16& key, const std::uint8_t* iv, bool encrypt,
                                    const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out(in.size() + 8);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, iv == nullptr ? EVP_des_ede_ecb() : EVP_des_ede_cbc(), nullptr, key.data(),
                    iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  int tail = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n + tail));
  return out;
}

TEST(PortableCipher, AgreesWithLibcryptoInEveryModeAndDirection) {
  std::mt19937 random(20121227);
  auto byte = [&random] { return static_cast<std::uint8_t>(random()); };
  for (int round = 0; round < 256; ++round) {
    sim::Key16 key;
    for (auto& b : key) b = byte();
    std::uint8_t iv[8];
    for (auto& b : iv) b = byte();
    std::vector<std::uint8_t> in(8 * (1 + round % 5));
    for (auto& b : in) b = byte();
    const bool cbc = round % 2 == 1;
    const bool encrypt = round % 4 < 2;
    const std::uint8_t* chain = cbc ? iv : nullptr;
    std::vector<std::uint8_t> out(in.size());
    ASSERT_TRUE(sim::TripleDesRun(key, chain, encrypt, in.data(), in.size(), out.data()));
    ASSERT_EQ(out, Libcrypto(key, chain, encrypt, in))
        << "round " << round << (cbc ? " CBC" : " ECB") << (encrypt ? " encrypt" : " decrypt");
    // In place, as the card's callers may use it.
    ASSERT_TRUE(sim::TripleDesRun(key, chain, encrypt, in.data(), in.size(), in.data()));
    ASSERT_EQ(in, out) << "round " << round << " in place";
  }
  std::uint8_t seven[7] = {};
  EXPECT_FALSE(sim::TripleDesRun(sim::Key16{}, nullptr, true, seven, 7, seven));
}

}  // namespace
}  // namespace kx::test
