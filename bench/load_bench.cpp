// The library under a host's load: what the process-wide lock costs an
// export call when no other thread holds it (target: under 100 ns), and a
// soak of 100,000 mixed calls against kx-sim (unpaced) with a power-off and
// reopen every 1,000 calls, whose resident memory and open descriptors must
// not grow.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "bench/bench_support.h"
#include "platform/platform.h"
#include "tools/child_process.h"

namespace {

void BM_LockPair(benchmark::State& state) {
  for (auto _ : state) {
    kx::platform::LockLibrary();
    kx::platform::UnlockLibrary();
  }
}
BENCHMARK(BM_LockPair);

// The cheapest export: its time is the call and the lock.
void BM_KXGetLibVer(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(KXGetLibVer());
}
BENCHMARK(BM_KXGetLibVer);

void BM_KXGetErrMessage(benchmark::State& state) {
  char message[KX_ERR_MESSAGE_SIZE];
  for (auto _ : state) {
    KXGetErrMessage(-4, message);
    benchmark::DoNotOptimize(message);
  }
}
BENCHMARK(BM_KXGetErrMessage);

// A field of /proc/self/status in kB ("VmRSS", "RssAnon"), -1 when absent.
long StatusKb(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  long kb = -1;
  char line[256];
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      kb = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return kb;
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the listing's own descriptor
}

constexpr int kSoakPort = 78;
constexpr int kSoakCalls = 100000;
constexpr int kCallsPerOpening = 1000;

// One of the soak's calls; true when it succeeded.
bool SoakCall(int i) {
  const int at = i % kCallsPerOpening;
  char status = 0;
  if (at == 0) {
    return KXReaderInitTest(kSoakPort, 115200) == 0 && KXSelectIFD(0, 12) == 0 &&
           GetReaderStatus(0, &status) == 0;
  }
  if (at == kCallsPerOpening - 1) return KXReaderPowerOff(0) == 0;
  // The calls that power the PSAM on pause 100 ms first: a few per opening.
  if (at % 500 == 125) {
    char id[KX_PSAM_ID_SIZE];
    return KXGetPsamID(0, id) == 0;
  }
  if (at == 50) {
    unsigned char out[256];
    return KXReadInfo(0, "DF01", "EF05", 1, out) == 0;
  }
  if (at == 550) return KXCheckKey(0, "UK1DF01") == 0;

  unsigned char reply[KX_APDU_REPLY_SIZE];
  int length = 0;
  switch (at % 8) {
    case 0:
      return GetReaderStatus(0, &status) == 0 && status == '2';
    case 1: {
      char hex[KX_APDU_HEX_REPLY_SIZE];
      return KXRunApduTest(0, 14, "00A40000023F00", hex) > 0;
    }
    case 2: {
      const unsigned char select[] = {0x00, 0xA4, 0x02, 0x00, 0x02, 0xEF, 0x05};
      return KXRunApdu(0, sizeof select, select, &length, reply) == 0;
    }
    case 3:
      return KXReadRecord(0, 1, 0x04, 0, reply) == 0;
    case 4: {
      const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
      return KXRunApdu(0, sizeof challenge, challenge, &length, reply) == 0 && length == 10;
    }
    case 5: {
      char model[KX_READER_MODEL_SIZE], version[KX_READER_VERSION_SIZE];
      return GetReaderInfo(0, model, version) == 0;
    }
    case 6: {
      int retries = 0;
      return KXCardVerifyPIN(0, "123456", &retries) == 0;
    }
    default: {
      char message[KX_ERR_MESSAGE_SIZE];
      return KXGetErrMessage(-4, message) == 0;
    }
  }
}

kx::bench::PauseMeter* pauses = nullptr;

void BM_Soak(benchmark::State& state) {
  kx::tools::ChildProcess sim;
  std::string error;
  if (!sim.Start({KX_SIM_PATH, "--print-path-only"}, kx::tools::ChildProcess::kStdout, &error)) {
    state.SkipWithError(("cannot start kx-sim: " + error).c_str());
    return;
  }
  const std::string device =
      kx::tools::SimulatorDevicePath(sim.ReadLine(kx::tools::ChildProcess::kStdout, 5000));
  if (device.empty() || KXSetComDevice(kSoakPort, device.c_str()) != 0) {
    state.SkipWithError("kx-sim named no device");
    return;
  }
  SetPin("123456");
  // The first opening settles what a process keeps for good (the C
  // library's buffers, the lock); growth is measured from after it.
  for (int i = 0; i < kCallsPerOpening; ++i) SoakCall(i);
  const long rssStart = StatusKb("VmRSS");
  const long anonStart = StatusKb("RssAnon");
  const int fdsStart = OpenDescriptors();
  int failures = 0;
  long rssTenth = -1;
  double seconds = 0;
  const std::uint64_t pausedBefore = pauses->SleptMs();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSoakCalls; ++i) {
      failures += SoakCall(i) ? 0 : 1;
      // A process settles within its first calls; growth after that is a leak.
      if (i == kSoakCalls / 10) rssTenth = StatusKb("VmRSS");
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["calls_per_s"] = kSoakCalls / seconds;
  // The pauses before each power-on, which the calls must make.
  state.counters["paused_s"] = static_cast<double>(pauses->SleptMs() - pausedBefore) / 1000.0;
  state.counters["failures"] = failures;
  state.counters["rss_kb_start"] = static_cast<double>(rssStart);
  state.counters["rss_kb_tenth"] = static_cast<double>(rssTenth);
  state.counters["rss_kb_end"] = static_cast<double>(StatusKb("VmRSS"));
  state.counters["anon_kb_start"] = static_cast<double>(anonStart);
  state.counters["anon_kb_end"] = static_cast<double>(StatusKb("RssAnon"));
  state.counters["fds_start"] = fdsStart;
  state.counters["fds_end"] = OpenDescriptors();
  KXSetComDevice(kSoakPort, nullptr);
}
BENCHMARK(BM_Soak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  kx::bench::PauseMeter meter{kx::platform::Native()};
  pauses = &meter;
  return kx::bench::RunRegistered(argc, argv, meter);
}
