// Looks for secrets a call left on the stack below the caller's frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::test {

// Whatever the last calls left on the stack below the caller's frame: the
// probe is read uninitialised on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((noinline)) inline bool StackHolds(const std::uint8_t* needle, std::size_t size) {
  volatile std::uint8_t probe[32 * 1024];
  for (std::size_t i = 0; i + size <= sizeof probe; ++i) {
    std::size_t j = 0;
    while (j < size && probe[i + j] == needle[j]) ++j;
    if (j == size) return true;
  }
  return false;
}
#pragma GCC diagnostic pop

}  // namespace kx::test
