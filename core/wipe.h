// Wiping secrets: PIN digits typed on the pad or converted for a card
// command must not outlive the call that moved them. A plain memset of a
// buffer that is about to die is removed by the optimiser; this one stays.
#pragma once

#include <cstddef>
#include <cstring>

namespace kx {

inline void WipeSecret(void* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return;
  std::memset(buffer, 0, size);
  // The compiler must assume the zeros are read through `buffer`.
  __asm__ __volatile__("" : : "r"(buffer) : "memory");
}

// Wipes a buffer when the scope that owns it ends, on every path.
class WipeOnExit {
 public:
  WipeOnExit(void* buffer, std::size_t size) : buffer_(buffer), size_(size) {}
  ~WipeOnExit() { WipeSecret(buffer_, size_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* buffer_;
  std::size_t size_;
};

}  // namespace kx
