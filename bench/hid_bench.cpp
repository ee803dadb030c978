// What the HID links' waits cost on the real clock: the simulated platform
// in its real-clock mode, where the wait steps and the PIN pad's 10 ms pause
// really block, with a silent PIN pad and a silent USB reader.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/cpu_time.h"
#include "link/hid_link.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "platform/sim/sim_backend.h"
#include "sim/pin_pad.h"

namespace {

using kx::platform::sim::HidDeviceSetup;

// One read of `link` on a silent device, on the real clock: the CPU it used
// against the time it took.
void SilentWait(benchmark::State& state, kx::HidLink& link, HidDeviceSetup device,
                int timeoutSeconds) {
  kx::ResetLibraryForTests();
  kx::platform::sim::SimBackend backend;
  kx::sim::PinPad pad;
  pad.script().silent = true;
  backend.Hid().Attach(device, &pad);
  backend.UseRealClock();
  kx::platform::SetBackend(&backend);
  const std::uint8_t ask[2] = {0x1B, 'I'};
  if (!link.Open().ok() || !link.Write(ask, 2).ok()) {
    state.SkipWithError("the simulated device did not open");
    return;
  }
  double cpuMs = 0;
  double wallMs = 0;
  kx::LinkResult result;
  for (auto _ : state) {
    std::uint8_t buffer[1024];
    bench::Measure(&cpuMs, &wallMs,
                   [&] { result = link.Read(buffer, sizeof buffer, timeoutSeconds); });
  }
  kx::ResetLibraryForTests();
  if (result.status != kx::LinkStatus::kTimedOut) {
    state.SkipWithError("the silent read did not time out");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = cpuMs / n;
  state.counters["wall_ms"] = wallMs / n;
  state.counters["cpu_pct"] = wallMs > 0 ? cpuMs * 100.0 / wallMs : 0;
}

void BM_PinPadSilentWaitCpu(benchmark::State& state) {
  SilentWait(state, kx::PinPadPort, HidDeviceSetup{0x3C4E, 0x0101}, 10);
}
BENCHMARK(BM_PinPadSilentWaitCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UsbReaderFirstReportWaitCpu(benchmark::State& state) {
  SilentWait(state, kx::ReaderHidLink, HidDeviceSetup{0x7B15, 0x0201}, 5);
}
BENCHMARK(BM_UsbReaderFirstReportWaitCpu)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
