// The all-in-one exports' reader search (USB, the remembered COM port, then
// COM1 upwards) with 0, 1 and 5 silent ports before the reader, which sits
// on kx-sim at 9600 baud: KXReadInfoAIO of an item free to read, search,
// read and release in one. A port that opens but never answers costs the
// whole 2 s power-on limit, and a fresh process remembers COM1, so COM1 is
// tried twice when it is silent. The last row remembers the reader's port,
// as after a KXReaderInit on it or an earlier search that found it.
#include <benchmark/benchmark.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "bench/bench_support.h"
#include "core/state.h"

namespace {

// Pseudo-terminals nobody answers on: a serial port with nothing behind it.
class SilentPorts {
 public:
  explicit SilentPorts(int count) {
    for (int i = 0; i < count; ++i) {
      int master = -1, slave = -1;
      char name[256] = {};
      if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
      close(slave);
      masters_.push_back(master);
      names_.push_back(name);
    }
  }
  ~SilentPorts() {
    for (int fd : masters_) close(fd);
  }
  int size() const { return static_cast<int>(names_.size()); }
  const std::string& name(int i) const { return names_[i]; }

 private:
  std::vector<int> masters_;
  std::vector<std::string> names_;
};

struct Search {
  const char* name;
  int silentPorts;        // COM1..COMn answer nothing; the reader is on COMn+1
  bool rememberedReader;  // ComPortNumber already names the reader's port
};

const Search kSearches[] = {
    {"0_silent_ports", 0, false},
    {"1_silent_port", 1, false},
    {"5_silent_ports", 5, false},
    {"5_silent_ports/reader_port_remembered", 5, true},
};

struct Meters {
  kx::bench::PauseMeter pauses{kx::platform::Native()};
  kx::bench::SyscallCounter syscalls;
  kx::bench::PacedSimulator sim{9600};
};

Meters* meters = nullptr;

void RunSearch(benchmark::State& state, const Search& search) {
  if (!meters->sim.ok()) {
    state.SkipWithError("kx-sim did not start");
    return;
  }
  const SilentPorts silent(search.silentPorts);
  if (silent.size() != search.silentPorts) {
    state.SkipWithError("cannot open the pseudo-terminals");
    return;
  }
  for (int i = 0; i < silent.size(); ++i) KXSetComDevice(i + 1, silent.name(i).c_str());
  const int readerPort = search.silentPorts + 1;
  KXSetComDevice(readerPort, meters->sim.device().c_str());

  double wall = 0, cpu = 0, syscalls = 0;
  for (auto _ : state) {
    kx::ComPortNumber = search.rememberedReader ? readerPort : 1;
    meters->sim.TakeTrace();
    int result = 0;
    const kx::bench::Sample sample = kx::bench::Measure(meters->syscalls, meters->pauses, [&] {
      unsigned char item[256];
      result = KXReadInfoAIO("3F00", "EF05", 1, item);
    });
    if (result != 0 || kx::ComPortNumber != readerPort) {
      state.SkipWithError(("the search returned " + std::to_string(result)).c_str());
      break;
    }
    state.SetIterationTime(sample.wallMs / 1000.0);
    wall += sample.wallMs;
    cpu += sample.cpuMs;
    syscalls += static_cast<double>(sample.syscalls);
  }
  for (int port = 1; port <= readerPort; ++port) KXSetComDevice(port, nullptr);
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  state.counters["cpu_ms"] = cpu / n;
  state.counters["syscalls"] = meters->syscalls.available() ? syscalls / n : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Meters all;
  meters = &all;
  for (const Search& search : kSearches) {
    benchmark::RegisterBenchmark((std::string("search/") + search.name).c_str(),
                                 [&search](benchmark::State& s) { RunSearch(s, search); })
        ->Iterations(search.silentPorts > 0 && !search.rememberedReader ? 1 : 5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return kx::bench::RunRegistered(argc, argv, all.pauses);
}
