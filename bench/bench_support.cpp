#include "bench/bench_support.h"

#include <benchmark/benchmark.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "sim/line_budget.h"

namespace kx::bench {

namespace {

long long SysEnterTracepoint() {
  for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                           "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
    if (std::FILE* f = std::fopen(path, "r")) {
      long long id = -1;
      const bool read = std::fscanf(f, "%lld", &id) == 1;
      std::fclose(f);
      if (read) return id;
    }
  }
  return -1;
}

}  // namespace

SyscallCounter::SyscallCounter() {
  const long long id = SysEnterTracepoint();
  if (id < 0) return;
  perf_event_attr attr{};
  attr.type = PERF_TYPE_TRACEPOINT;
  attr.size = sizeof attr;
  attr.config = static_cast<std::uint64_t>(id);
  attr.disabled = 1;
  fd_ = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
  if (fd_ < 0) return;
  // The call that stops the counter is counted itself; so may be more.
  overhead_ = 1 << 20;
  for (int i = 0; i < 5; ++i) {
    Start();
    overhead_ = std::min(overhead_, RawStop());
  }
}

SyscallCounter::~SyscallCounter() {
  if (fd_ >= 0) close(fd_);
}

void SyscallCounter::Start() {
  if (fd_ < 0) return;
  ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
  ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
}

long long SyscallCounter::RawStop() {
  ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
  long long count = 0;
  if (read(fd_, &count, sizeof count) != static_cast<ssize_t>(sizeof count)) return -1;
  return count;
}

long long SyscallCounter::Stop() {
  if (fd_ < 0) return -1;
  const long long count = RawStop();
  return count < 0 ? -1 : std::max(0LL, count - overhead_);
}

PacedSimulator::PacedSimulator(std::uint32_t baud, std::vector<std::string> moreOptions)
    : baud_(baud) {
  std::vector<std::string> argv = {KX_SIM_PATH, "--baud", std::to_string(baud), "--trace",
                                   "--print-path-only"};
  argv.insert(argv.end(), moreOptions.begin(), moreOptions.end());
  std::string error;
  if (!process_.Start(argv, tools::ChildProcess::kStdout | tools::ChildProcess::kStderr, &error)) {
    std::fprintf(stderr, "cannot start kx-sim: %s\n", error.c_str());
    return;
  }
  device_ = tools::SimulatorDevicePath(process_.ReadLine(tools::ChildProcess::kStdout, 5000));
  // A device does not stall. On a loaded machine a simulator held off the
  // processor for over 100 ms mid-reply trips the library's idle rule, which
  // says nothing about the library: ahead of other work when allowed (root).
  setpriority(PRIO_PROCESS, static_cast<id_t>(process_.pid()), -10);
}

std::vector<std::string> PacedSimulator::TakeTrace(int quietMs) {
  std::istringstream text(process_.ReadAll(tools::ChildProcess::kStderr, quietMs));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

Bound LowerBoundOf(const std::vector<std::string>& trace, std::uint32_t baud) {
  sim::LowerBound bound;
  Bound result;
  for (const std::string& line : trace) {
    const std::optional<sim::LineCost> cost = sim::ParseLineCost(line);
    if (!cost) continue;
    bound.Add(*cost);
    if (cost->reply) ++result.replies;
  }
  result.ms = static_cast<double>(bound.Microseconds(baud)) / 1000.0;
  return result;
}

int RunRegistered(int argc, char** argv, platform::Backend& backend) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  platform::SetBackend(&backend);
  benchmark::RunSpecifiedBenchmarks();
  platform::SetBackend(nullptr);
  benchmark::Shutdown();
  return 0;
}

}  // namespace kx::bench
