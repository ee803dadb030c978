#include "simlib/real_time_backend.h"

#include <algorithm>

namespace kx::simlib {

namespace {

// How often a wait looks at the line again. The simulated line has no way to
// wake a waiter: a reply that is due is noticed within one slice.
constexpr std::uint32_t kWaitSliceMs = 5;

}  // namespace

int RealTimeBackend::SerialWrite(platform::SerialPort* port, const std::uint8_t* bytes, int count,
                                 std::uint32_t timeoutMs) {
  // The reply's schedule starts from the simulated platform's last reading
  // of the clock: read it now, so a delayed reply is delayed from this write.
  sim_().TickMs();
  return sim_().SerialWrite(port, bytes, count, timeoutMs);
}

bool RealTimeBackend::SerialWaitReadable(platform::SerialPort* port, std::uint32_t timeoutMs) {
  platform::sim::SimBackend& sim = sim_();
  const std::uint32_t start = sim.TickMs();
  for (;;) {
    // A wait of no time: true when input is there (or the device is gone).
    if (sim.SerialWaitReadable(port, 0)) return true;
    const std::uint32_t waited = sim.TickMs() - start;
    if (waited >= timeoutMs) return false;
    sim.SleepMs(std::min(timeoutMs - waited, kWaitSliceMs));
  }
}

}  // namespace kx::simlib
