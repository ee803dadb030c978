#include "link/deadline.h"

#include <algorithm>

namespace kx::deadline {

std::uint32_t UntilMoreThan(std::uint32_t start, std::uint32_t now, std::uint32_t limitMs) {
  const std::uint32_t limit = std::min(limitMs, kMaxLimitMs);
  const std::uint32_t passed = Elapsed(start, now);
  if (passed > limit) return 0;
  return limit - passed + 1;
}

std::uint32_t WaitSlice(std::uint32_t untilMs) {
  return std::clamp<std::uint32_t>(untilMs, 1, kMaxWaitSliceMs);
}

std::uint32_t SecondsToLimitMs(int seconds) {
  if (seconds <= 0) return 0;
  const std::uint64_t ms = static_cast<std::uint64_t>(seconds) * 1000u;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, kMaxLimitMs));
}

}  // namespace kx::deadline
