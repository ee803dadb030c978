// CPU time the calling thread has used, for the benchmarks of waits.
#pragma once

#include <sys/resource.h>

namespace bench {

inline double ThreadCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace bench
