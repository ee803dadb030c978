// Every export that talks to the card, timed against kx-sim on a line paced
// at 9600 and at 115200 baud, with cards that take their time. For each:
// wall time, the lower bound from the simulator's trace (every byte at 10 bit
// times, the cards' time before each reply, and the pauses the library must
// make), their ratio, this process's CPU time and its system calls.
//
// Each operation is one row of kOperations: what puts the library in the
// state it needs (not timed), and the call (timed).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "bench/bench_support.h"

namespace {

using kx::bench::PacedSimulator;

// The COM port the simulator of one baud rate is mapped to.
struct Line {
  int port;
  int baud;
};

void Closed(const Line&) {
  KXReaderPowerOff(0);
}

// The reader open at the line's rate, the user card selected and powered.
void Open(const Line& line) {
  Closed(line);
  KXReaderInitTest(line.port, line.baud);
  KXSelectIFD(0, 12);
  char status = 0;
  GetReaderStatus(0, &status);
}

int Apdu(const char* hex) {
  char reply[600];
  const int n = KXRunApduTest(0, static_cast<int>(std::char_traits<char>::length(hex)), hex, reply);
  return n < 0 ? n : 0;
}

void OpenInMasterFileEf05(const Line& line) {
  Open(line);
  Apdu("00A40000023F00");
  Apdu("00A4020002EF05");
}

// The fingerprint file under the master file: free to read, written with
// the master file's key.
void OpenInFingerprintFile(const Line& line) {
  Open(line);
  Apdu("00A40000023F00");
  Apdu("00A4020002EF07");
}

void OpenInFingerprintFileWithItsKey(const Line& line) {
  Open(line);
  KXCheckKey(0, "UKMF");
  Apdu("00A4020002EF07");
}

// Nothing open, and the line's port remembered (as after a KXReaderInit on
// it), so an all-in-one export finds the reader at its first try.
void ClosedOnTheRememberedPort(const Line& line) {
  Open(line);
  Closed(line);
}

unsigned char buffer[1024];
char hexText[1024];
// Values to write: the item lengths and the file pieces come from the card's
// tables, so any bytes do.
const unsigned char* Values() {
  static unsigned char values[256];
  for (int i = 0; i < 256; ++i) values[i] = static_cast<unsigned char>(0x40 + i % 64);
  return values;
}

struct Operation {
  const char* name;
  void (*prepare)(const Line&);
  int (*run)(const Line&);  // the export's result; 0 is success
  // The all-in-one exports search at 9600 baud, so they run on that line only.
  bool allInOne = false;
  // Runs of an operation that changes the card for good (0: the default).
  int iterations = 0;
};

// A locked application stays locked, so each run locks another one.
const char* NextDirectoryToLock(const Line& line) {
  static const char* const kLockable[] = {"DF0A", "DF0B", "DF0C", "DF0D", "DF0E", "DF0F"};
  static std::map<int, std::size_t> used;
  std::size_t& next = used[line.baud];
  return kLockable[next++ % std::size(kLockable)];
}

const Operation kOperations[] = {
    {"KXReaderInit+GetReaderStatus", Closed,
     [](const Line& line) {
       int params[2] = {line.port, line.baud};
       unsigned handle = 0;
       if (const int r = KXReaderInit(params, &handle); r != 0) return r;
       char status = 0;
       return GetReaderStatus(0, &status);
     }},
    {"GetReaderStatus", Open,
     [](const Line&) {
       char status = 0;
       return GetReaderStatus(0, &status);
     }},
    {"KXCpuReset", Open,
     [](const Line&) {
       char atr[201];
       return KXCpuReset(0, atr);
     }},
    {"KXRunApdu", Open,
     [](const Line&) {
       const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
       unsigned char reply[300];
       int length = 0;
       return KXRunApdu(0, sizeof challenge, challenge, &length, reply);
     }},
    {"KXRunApduTest", Open, [](const Line&) { return Apdu("00A40000023F00"); }},
    {"KXReadRecord", OpenInMasterFileEf05,
     [](const Line&) {
       unsigned char record[256];
       return KXReadRecord(0, 1, 4, 0, record);
     }},
    {"KXCardVerifyPIN", Open,
     [](const Line&) {
       int tries = 0;
       return KXCardVerifyPIN(0, "123456", &tries);
     }},
    {"KXCardChangePIN", Open,
     [](const Line&) {
       int tries = 0;
       return KXCardChangePIN(0, "123456", "123456", &tries);
     }},
    {"KXGetPsamID", Open,
     [](const Line&) {
       char id[13];
       return KXGetPsamID(0, id);
     }},
    {"KXGetPsamIDATR", Open,
     [](const Line&) {
       char id[13], atr[201];
       return KXGetPsamIDATR(0, id, atr);
     }},
    {"KXReaderPowerOff", Open, [](const Line&) { return KXReaderPowerOff(0); }},
    {"KXCheckKey UK1DF01", Open, [](const Line&) { return KXCheckKey(0, "UK1DF01"); }},
    {"KXReadInfo DF03 EF05 2", Open,
     [](const Line&) { return KXReadInfo(0, "DF03", "EF05", 2, buffer); }},
    {"KXUpdateInfo DF01 EF05 2", Open,
     [](const Line&) { return KXUpdateInfo(0, "DF01", "EF05", 2, Values()); }},
    {"KXReadBinary 256 bytes", OpenInFingerprintFile,
     [](const Line&) { return KXReadBinary(0, 0, 256, buffer); }},
    {"KXUpdateBinary 256 bytes", OpenInFingerprintFileWithItsKey,
     [](const Line&) { return KXUpdateBinary(0, 0, 256, Values()); }},
    {"KXReadInfoAIO DF03 EF05 2", ClosedOnTheRememberedPort,
     [](const Line&) { return KXReadInfoAIO("DF03", "EF05", 2, buffer); }, true},
    {"KXUpdateInfoAIO DF01 EF05 2", ClosedOnTheRememberedPort,
     [](const Line&) { return KXUpdateInfoAIO("DF01", "EF05", 2, Values()); }, true},
    {"KXReadBinaryAIO DF0B EF0C 256 bytes", ClosedOnTheRememberedPort,
     [](const Line&) { return KXReadBinaryAIO("DF0B", "EF0C", 0, 256, hexText); }, true},
    {"KXUpdateBinaryAIO DF0B EF0C 256 bytes", ClosedOnTheRememberedPort,
     [](const Line&) { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, Values()); }, true},
    {"KXReadCardID", Open,
     [](const Line&) {
       char number[10], code[33], organisation[25];
       return KXReadCardID(0, number, code, organisation);
     }},
    {"KXReadCardIDAIO", ClosedOnTheRememberedPort,
     [](const Line&) {
       char number[10], code[33], organisation[25];
       return KXReadCardIDAIO(number, code, organisation);
     },
     true},
    {"KXUpdateCardIDAIO", ClosedOnTheRememberedPort,
     [](const Line&) {
       char code[33];
       return KXUpdateCardIDAIO("330329", "00006074", code);
     },
     true},
    {"KXCardUnlockPIN", Open, [](const Line&) { return KXCardUnlockPIN(0, "123456"); }},
    // Last: the card keeps its locked applications.
    {"KXAppLock", Open, [](const Line& line) { return KXAppLock(0, NextDirectoryToLock(line)); },
     false, 5},
};

struct Meters {
  kx::bench::PauseMeter pauses{kx::platform::Native()};
  kx::bench::SyscallCounter syscalls;
  std::map<int, std::unique_ptr<PacedSimulator>> simulators;

  // The simulator paced at `baud`, started on first use, and the COM port it
  // is mapped to.
  PacedSimulator& At(int baud, Line* line) {
    auto& sim = simulators[baud];
    if (!sim) sim = std::make_unique<PacedSimulator>(baud);
    *line = Line{
        kFirstPort + static_cast<int>(std::distance(simulators.begin(), simulators.find(baud))),
        baud};
    KXSetComDevice(line->port, sim->device().c_str());
    return *sim;
  }
  static constexpr int kFirstPort = 41;
};

Meters* meters = nullptr;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The figures are medians over the iterations: a machine shared with other
// work stalls a wake-up now and then, which says nothing about the library.
void RunOperation(benchmark::State& state, const Operation& op, int baud) {
  Line line{};
  PacedSimulator& sim = meters->At(baud, &line);
  if (!sim.ok()) {
    state.SkipWithError("kx-sim did not start");
    return;
  }
  std::vector<double> wall, bound, ratio, cpu, syscalls, exchanges;
  for (auto _ : state) {
    op.prepare(line);
    sim.TakeTrace();
    int result = 0;
    const kx::bench::Sample sample =
        kx::bench::Measure(meters->syscalls, meters->pauses, [&] { result = op.run(line); });
    if (result != 0) {
      state.SkipWithError(("the export returned " + std::to_string(result)).c_str());
      break;
    }
    const kx::bench::Bound lineBound = kx::bench::LowerBoundOf(sim.TakeTrace(), line.baud);
    state.SetIterationTime(sample.wallMs / 1000.0);
    wall.push_back(sample.wallMs);
    bound.push_back(lineBound.ms + static_cast<double>(sample.pausedMs));
    ratio.push_back(bound.back() > 0 ? sample.wallMs / bound.back() : 0);
    cpu.push_back(sample.cpuMs);
    syscalls.push_back(static_cast<double>(sample.syscalls));
    exchanges.push_back(lineBound.replies);
  }
  KXReaderPowerOff(0);
  if (wall.empty()) return;
  const double wallMs = Median(wall), boundMs = Median(bound), cpuMs = Median(cpu);
  state.counters["wall_ms"] = wallMs;
  state.counters["bound_ms"] = boundMs;
  state.counters["ratio"] = Median(ratio);
  state.counters["cpu_ms"] = cpuMs;
  state.counters["cpu_pct"] = wallMs > 0 ? 100 * cpuMs / wallMs : 0;
  state.counters["syscalls"] = meters->syscalls.available() ? Median(syscalls) : -1;
  state.counters["exchanges"] = Median(exchanges);
}

}  // namespace

int main(int argc, char** argv) {
  Meters all;
  meters = &all;
  SetPin("123456");
  for (const int baud : {9600, 115200}) {
    for (const Operation& op : kOperations) {
      if (op.allInOne && baud != 9600) continue;
      const std::string name = std::string("paced/") + std::to_string(baud) + "/" + op.name;
      benchmark::RegisterBenchmark(name.c_str(),
                                   [&op, baud](benchmark::State& s) { RunOperation(s, op, baud); })
          ->Iterations(op.iterations > 0 ? op.iterations
                       : baud == 9600    ? 20
                                         : 40)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  return kx::bench::RunRegistered(argc, argv, all.pauses);
}
