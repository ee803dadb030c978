// What the benchmarks measure an operation with: wall time, the CPU time of
// this process, its system calls, and the pauses the library is bound to
// make; and kx-sim on a paced line, whose trace gives the lower bound.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/cpu_time.h"
#include "tests/support/counting_backend.h"
#include "tools/child_process.h"

namespace kx::bench {

// The system calls this thread makes between Start and Stop, from the
// kernel's raw_syscalls:sys_enter tracepoint (a perf counter). It needs
// tracefs and the right to open it (root, or kernel.perf_event_paranoid -1);
// without them Stop returns -1.
class SyscallCounter {
 public:
  SyscallCounter();
  ~SyscallCounter();
  SyscallCounter(const SyscallCounter&) = delete;
  SyscallCounter& operator=(const SyscallCounter&) = delete;
  bool available() const { return fd_ >= 0; }
  void Start();
  // Calls since Start, the counter's own switching left out.
  long long Stop();

 private:
  long long RawStop();
  int fd_ = -1;
  long long overhead_ = 0;
};

// kx-sim with both cards on a line paced at `baud`, tracing each entry's
// share of the line on its stderr, which this process reads.
class PacedSimulator {
 public:
  explicit PacedSimulator(std::uint32_t baud, std::vector<std::string> moreOptions = {});
  bool ok() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  std::uint32_t baud() const { return baud_; }
  // The trace lines written since the last call, once kx-sim has been quiet
  // for `quietMs` (also what lets a closing sequence pass before a
  // measurement starts).
  std::vector<std::string> TakeTrace(int quietMs = 30);

 private:
  std::uint32_t baud_;
  tools::ChildProcess process_;
  std::string device_;
};

// The least time the exchanges in `trace` (TakeTrace) take on a line of
// `baud`, in milliseconds, and how many replies it holds.
struct Bound {
  double ms = 0;
  int replies = 0;
};
Bound LowerBoundOf(const std::vector<std::string>& trace, std::uint32_t baud);

// The native backend behind a counter: it adds up the pauses the library
// sleeps (the 100 ms before a power-on, the PIN pad's steps), which belong
// to the lower bound.
using PauseMeter = test::CountingBackend;

// One run of an operation.
struct Sample {
  double wallMs = 0;
  double cpuMs = 0;
  long long syscalls = -1;
  std::uint64_t pausedMs = 0;
};

// Runs the benchmarks registered so far, with the command line's options,
// the library on `backend` meanwhile. Returns the process's exit status.
int RunRegistered(int argc, char** argv, platform::Backend& backend);

template <typename Operation>
Sample Measure(SyscallCounter& syscalls, PauseMeter& pauses, Operation&& operation) {
  const std::uint64_t pausedBefore = pauses.SleptMs();
  const double cpuBefore = ::bench::ThreadCpuMs();
  const auto wallBefore = std::chrono::steady_clock::now();
  syscalls.Start();
  operation();
  Sample sample;
  sample.syscalls = syscalls.Stop();
  sample.wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBefore)
          .count();
  sample.cpuMs = ::bench::ThreadCpuMs() - cpuBefore;
  sample.pausedMs = pauses.SleptMs() - pausedBefore;
  return sample;
}

}  // namespace kx::bench
