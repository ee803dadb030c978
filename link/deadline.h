// Time arithmetic on the platform's 32-bit millisecond tick clock.
//
// The tick counter wraps to 0 after 2^32 ms (about 49.7 days), so ticks are
// only ever compared through their unsigned difference: `now - start` is the
// time that passed, whether or not the counter wrapped in between. Limits are
// "more than N ms have passed", as the link's rules are written.
#pragma once

#include <cstdint>

namespace kx::deadline {

// The longest single wait the link asks the platform for where an Escape key
// can end the wait, so that the key is looked at again soon enough.
inline constexpr std::uint32_t kMaxWaitSliceMs = 10;

// Limits larger than this are cut to it, so that "limit + 1" and the unsigned
// difference of two ticks stay meaningful.
inline constexpr std::uint32_t kMaxLimitMs = 0x7FFFFFFFu;

// Milliseconds from `start` to `now`, across a wrap of the counter.
constexpr std::uint32_t Elapsed(std::uint32_t start, std::uint32_t now) {
  return now - start;
}

// True once more than `limitMs` have passed from `start` to `now`.
constexpr bool MoreThanPassed(std::uint32_t start, std::uint32_t now, std::uint32_t limitMs) {
  return Elapsed(start, now) > (limitMs < kMaxLimitMs ? limitMs : kMaxLimitMs);
}

// How long from `now` until more than `limitMs` will have passed since
// `start`: the wait after which MoreThanPassed turns true. 0 once it is true.
std::uint32_t UntilMoreThan(std::uint32_t start, std::uint32_t now, std::uint32_t limitMs);

// The wait to ask for, with an Escape key to watch, when the nearest rule
// fires in `untilMs`: never more than kMaxWaitSliceMs, never more than
// `untilMs`, and at least 1 ms so a caller's loop always makes progress on
// the clock.
std::uint32_t WaitSlice(std::uint32_t untilMs);

// A whole number of seconds as a millisecond limit: negative counts as 0, and
// the result never exceeds kMaxLimitMs.
std::uint32_t SecondsToLimitMs(int seconds);

}  // namespace kx::deadline
