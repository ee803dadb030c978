#include "sim/crypto.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace kx::sim {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// One pass of `cipher` (two-key EDE in ECB or CBC mode) without padding.
bool Run(const EVP_CIPHER* cipher, const Key16& key, const std::uint8_t* iv, bool encrypt,
         const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  if (n % 8 != 0 || n > static_cast<std::size_t>(INT32_MAX)) return false;
  if (n == 0) return true;
  CipherContext ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int produced = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &produced, in, static_cast<int>(n)) != 1) return false;
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + produced, &tail) != 1) return false;
  return static_cast<std::size_t>(produced + tail) == n;
}

}  // namespace

bool TripleDesEcb(const Key16& key, bool encrypt, const std::uint8_t* in, std::size_t n,
                  std::uint8_t* out) {
  return Run(EVP_des_ede_ecb(), key, nullptr, encrypt, in, n, out);
}

std::vector<std::uint8_t> EncryptEcb(const Key16& key, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(data.size());
  if (!TripleDesEcb(key, true, data.data(), data.size(), out.data())) return {};
  return out;
}

std::vector<std::uint8_t> DecryptEcb(const Key16& key, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(data.size());
  if (!TripleDesEcb(key, false, data.data(), data.size(), out.data())) return {};
  return out;
}

Block8 EncryptBlock(const Key16& key, const Block8& block) {
  Block8 out{};
  if (!TripleDesEcb(key, true, block.data(), block.size(), out.data())) out.fill(0);
  return out;
}

Block8 DecryptBlock(const Key16& key, const Block8& block) {
  Block8 out{};
  if (!TripleDesEcb(key, false, block.data(), block.size(), out.data())) out.fill(0);
  return out;
}

bool CbcMac(const Key16& key, const std::vector<std::uint8_t>& data, Block8* mac) {
  if (data.empty() || data.size() % 8 != 0 || mac == nullptr) return false;
  const std::uint8_t zeroIv[8] = {};
  std::vector<std::uint8_t> chain(data.size());
  if (!Run(EVP_des_ede_cbc(), key, zeroIv, true, data.data(), data.size(), chain.data())) {
    return false;
  }
  std::copy(chain.end() - 8, chain.end(), mac->begin());
  return true;
}

Key16 DeriveKey(const Key16& key, const Block8& d) {
  Block8 inverted;
  std::transform(d.begin(), d.end(), inverted.begin(),
                 [](std::uint8_t b) { return static_cast<std::uint8_t>(~b); });
  const Block8 left = EncryptBlock(key, d);
  const Block8 right = EncryptBlock(key, inverted);
  Key16 derived;
  std::copy(left.begin(), left.end(), derived.begin());
  std::copy(right.begin(), right.end(), derived.begin() + 8);
  return derived;
}

Block8 ToBlock(const std::uint8_t* p) {
  Block8 block;
  std::copy(p, p + 8, block.begin());
  return block;
}

}  // namespace kx::sim
