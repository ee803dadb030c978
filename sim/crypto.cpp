#include "sim/crypto.h"

#include <algorithm>

#include "sim/cipher.h"

namespace kx::sim {

bool TripleDesEcb(const Key16& key, bool encrypt, const std::uint8_t* in, std::size_t n,
                  std::uint8_t* out) {
  return TripleDesRun(key, nullptr, encrypt, in, n, out);
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
  if (!TripleDesRun(key, zeroIv, true, data.data(), data.size(), chain.data())) {
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
