#include <openssl/evp.h>

#include <cstdint>
#include <memory>

#include "sim/cipher.h"

namespace kx::sim {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

}  // namespace

bool TripleDesRun(const Key16& key, const std::uint8_t* iv, bool encrypt, const std::uint8_t* in,
                  std::size_t n, std::uint8_t* out) {
  if (n % 8 != 0 || n > static_cast<std::size_t>(INT32_MAX)) return false;
  if (n == 0) return true;
  const EVP_CIPHER* cipher = iv == nullptr ? EVP_des_ede_ecb() : EVP_des_ede_cbc();
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

}  // namespace kx::sim
