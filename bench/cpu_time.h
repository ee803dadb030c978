// CPU time against wall time, for the benchmarks of waits.
#pragma once

#include <sys/resource.h>

#include <chrono>

namespace bench {

inline double ThreadCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Adds to *cpuMs and *wallMs what `run` cost the calling thread.
template <typename Run>
void Measure(double* cpuMs, double* wallMs, Run run) {
  const double cpuStart = ThreadCpuMs();
  const auto wallStart = std::chrono::steady_clock::now();
  run();
  *wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
                 .count();
  *cpuMs += ThreadCpuMs() - cpuStart;
}

}  // namespace bench
