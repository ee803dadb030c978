// What the reader link costs on a real pseudo-terminal with the POSIX
// backend: the CPU and the system calls a silent reader's 5 s wait takes
// (under 5 ms and under 10 calls is the target), and the extra latency of one
// command/reply exchange through ReaderPort over talking to the tty directly.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "KX_ICCReader.h"
#include "bench/bench_support.h"
#include "bench/cpu_time.h"
#include "link/reader_port.h"
#include "platform/platform.h"

namespace {

constexpr int kBenchPort = 77;

// A pseudo-terminal mapped to kBenchPort, raw on both sides.
struct Pty {
  int master = -1;
  int slave = -1;
  bool ok = false;

  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ok = KXSetComDevice(kBenchPort, name) == 0;
  }
  ~Pty() {
    KXSetComDevice(kBenchPort, nullptr);
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

void BM_SilentReaderWaitCpu(benchmark::State& state) {
  Pty pty;
  kx::platform::SetBackend(nullptr);
  if (!pty.ok || !kx::ReaderPort.Open(kBenchPort, 9600, 8, 1).ok()) {
    state.SkipWithError("cannot open the pseudo-terminal as a COM port");
    return;
  }
  double cpuMs = 0;
  double wallMs = 0;
  long long syscalls = 0;
  kx::LinkResult result;
  kx::bench::SyscallCounter counter;
  for (auto _ : state) {
    std::uint8_t buffer[1024];
    bench::Measure(&cpuMs, &wallMs, [&] {
      counter.Start();
      result = kx::ReaderPort.Read(buffer, sizeof buffer, kx::kEtx, 5);
      syscalls += counter.Stop();
    });
  }
  kx::ReaderPort.Close();
  if (result.status != kx::LinkStatus::kTimedOut) {
    state.SkipWithError("the silent read did not time out");
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_5s_wait"] = cpuMs / n;
  state.counters["wall_ms"] = wallMs / n;
  state.counters["syscalls"] = counter.available() ? static_cast<double>(syscalls) / n : -1;
}
BENCHMARK(BM_SilentReaderWaitCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Answers every command frame (up to ETX) on the master side with `reply`.
class Responder {
 public:
  Responder(int master, std::string reply) : master_(master), reply_(std::move(reply)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    std::string pending;
    while (!stop_) {
      pollfd entry{master_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      char bytes[256];
      const ssize_t n = read(master_, bytes, sizeof bytes);
      if (n <= 0) continue;
      pending.append(bytes, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find('\x03')) != std::string::npos) {
        pending.erase(0, end + 1);
        if (write(master_, reply_.data(), reply_.size()) < 0) return;
      }
    }
  }

  int master_;
  std::string reply_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One exchange straight on the tty: write the command, read until ETX.
bool DirectExchange(int fd, const std::string& command, std::size_t replySize) {
  if (write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
    return false;
  std::string got;
  while (got.empty() || got.back() != '\x03') {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) <= 0) return false;
    char bytes[256];
    const ssize_t n = read(fd, bytes, sizeof bytes);
    if (n <= 0) return false;
    got.append(bytes, static_cast<std::size_t>(n));
  }
  return got.size() == replySize;
}

bool LinkExchange(const std::string& command, std::size_t replySize) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(command.data());
  if (!kx::ReaderPort.Write(bytes, static_cast<int>(command.size())).ok()) return false;
  std::uint8_t buffer[1024];
  const kx::LinkResult read = kx::ReaderPort.Read(buffer, sizeof buffer, kx::kEtx, 5);
  return read.ok() && read.count == static_cast<int>(replySize);
}

// An APDU-sized exchange: a 20-byte command frame and a 30-byte reply frame.
// Each iteration runs one exchange each way, so both see the same machine.
void BM_ApduExchangeOverhead(benchmark::State& state) {
  const std::string command =
      "\x02"
      "0000000:0<00>6000001"
      "\x03";
  const std::string reply =
      "\x02"
      "000<0000000000000000000000000"
      "\x03";
  Pty pty;
  kx::platform::SetBackend(nullptr);
  if (!pty.ok || !kx::ReaderPort.Open(kBenchPort, 9600, 8, 1).ok()) {
    state.SkipWithError("cannot open the pseudo-terminal as a COM port");
    return;
  }
  Responder responder(pty.master, reply);
  using Clock = std::chrono::steady_clock;
  Clock::duration direct{};
  Clock::duration link{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const bool directOk = DirectExchange(pty.slave, command, reply.size());
    const auto t1 = Clock::now();
    const bool linkOk = LinkExchange(command, reply.size());
    const auto t2 = Clock::now();
    if (!directOk || !linkOk) {
      state.SkipWithError("an exchange failed");
      break;
    }
    direct += t1 - t0;
    link += t2 - t1;
  }
  kx::ReaderPort.Close();
  const double n = static_cast<double>(state.iterations());
  const double directUs = std::chrono::duration<double, std::micro>(direct).count() / n;
  const double linkUs = std::chrono::duration<double, std::micro>(link).count() / n;
  state.counters["direct_us"] = directUs;
  state.counters["link_us"] = linkUs;
  state.counters["extra_pct"] = directUs > 0 ? (linkUs - directUs) * 100.0 / directUs : 0;
}
BENCHMARK(BM_ApduExchangeOverhead)->MinTime(2.0)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
