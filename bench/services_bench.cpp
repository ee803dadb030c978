// What the secure services cost, through the shipped library as a host calls
// it, against kx-sim on a pseudo-terminal mapped as COM1: the wall time of
// one call (for the exports that work on an open reader, without opening it
// and powering the card on and off around it), the reader commands it sends
// (APDUs among them), and the CPU time
// the calling thread (this process's only one) spends on it, which should
// stay under 2 % of the wall time (the rest is waiting for the reader and
// the pause before a PSAM power-on).
//
//   services_bench [CALLS]    (default 20 calls of each operation)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "KX_ICCReader.h"
#include "bench/cpu_time.h"

extern char** environ;

namespace {

// kx-sim with its trace going to a file, where the commands are counted.
class Simulator {
 public:
  explicit Simulator(const std::string& traceFile) : traceFile_(traceFile) {
    const std::string pathFile = traceFile + ".path";
    std::remove(pathFile.c_str());
    std::string args[] = {KX_SIM_PATH, "--trace", "--path-file", pathFile};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, traceFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid_, KX_SIM_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 200 && path_.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::ifstream in(pathFile);
      std::getline(in, path_);
    }
  }
  ~Simulator() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& path() const { return path_; }

  // Reader commands and APDUs in the trace so far.
  void Count(long* commands, long* apdus) const {
    // The trace of a command is written just after its reply goes out.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream in(traceFile_);
    *commands = *apdus = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("CMD ", 0) == 0) ++*commands;
      if (line.rfind("APDU>", 0) == 0) ++*apdus;
    }
  }

 private:
  std::string traceFile_;
  std::string path_;
  pid_t pid_ = -1;
};

struct Operation {
  const char* name;
  std::function<int(int)> call;  // the i-th call
  // Exports that need an open reader with the user card powered on get it
  // around each call, outside the measured time and the command count.
  bool onOpenReader = false;
  int maxCalls = 0;  // 0: as many as asked
};

// The plain exports' frame around a call.
int OpenReader() {
  if (KXReaderInitTest(1, 9600) != 0) return -2;
  KXSelectIFD(0, 12);
  char status = '0';
  const int r = GetReaderStatus(0, &status);
  return r != 0 ? r : status == '2' ? 0 : -6;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20;
  if (calls < 1) {
    std::fprintf(stderr, "usage: services_bench [CALLS]\n");
    return 2;
  }
  char dir[] = "/tmp/kx-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string trace = std::string(dir) + "/trace";
  int rc = 0;
  {
    Simulator sim(trace);
    if (sim.path().empty() || KXSetComDevice(1, sim.path().c_str()) != 0) {
      std::fprintf(stderr, "services_bench: kx-sim did not start\n");
      return 1;
    }
    SetPin("123456");
    static unsigned char out[1024];
    static char hex[1024];
    static unsigned char data[256];
    for (int i = 0; i < 256; ++i) data[i] = static_cast<unsigned char>(i);
    // Directories a call each can lock (a locked one refuses the next lock).
    static const char* const kLockable[] = {"DF0A", "DF0B", "DF0C", "DF0D", "DF0E",
                                            "DF0F", "DF10", "DF01", "DF02", "DF04"};
    static char code[33];
    const Operation operations[] = {
        {"KXReadInfoAIO 3F00 EF05 0 (free, 7 records)",
         [](int) { return KXReadInfoAIO("3F00", "EF05", 0, out); }},
        {"KXReadInfoAIO DF03 EF05 2 (PIN and RK2DF03)",
         [](int) { return KXReadInfoAIO("DF03", "EF05", 2, out); }},
        {"KXUpdateBinaryAIO DF0B EF0C 256 bytes (UK1DF0B)",
         [](int) { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, data); }},
        {"KXReadBinaryAIO DF0B EF0C 256 bytes (RK1DF0B)",
         [](int) { return KXReadBinaryAIO("DF0B", "EF0C", 0, 256, hex); }},
        {"KXUpdateCardIDAIO (check bytes, UKMF, write)",
         [](int) { return KXUpdateCardIDAIO("330329", "00006074", code); }},
        {"KXCardUnlockPIN 123456 (PUK, then STKMF)",
         [](int) { return KXCardUnlockPIN(0, "123456"); }, true},
        {"KXAppLock (BK, one directory a call)", [](int i) { return KXAppLock(0, kLockable[i]); },
         true, static_cast<int>(std::size(kLockable))},
    };
    std::printf("%-50s %10s %9s %7s %10s %7s\n", "operation (per call)", "wall ms", "commands",
                "APDUs", "CPU ms", "CPU %");
    long commandsBefore = 0, apdusBefore = 0;
    sim.Count(&commandsBefore, &apdusBefore);
    // What the frame around one call costs in reader commands, to leave out.
    OpenReader();
    KXReaderPowerOff(0);
    long frameCommands = 0, frameApdus = 0;
    sim.Count(&frameCommands, &frameApdus);
    frameCommands -= commandsBefore;
    frameApdus -= apdusBefore;
    commandsBefore += frameCommands;
    apdusBefore += frameApdus;
    for (const Operation& op : operations) {
      const int n = op.maxCalls > 0 && op.maxCalls < calls ? op.maxCalls : calls;
      // The library works on the calling thread, the only one here.
      double cpuMs = 0;
      double wallMs = 0;
      for (int i = 0; i < n && rc == 0; ++i) {
        if (op.onOpenReader) rc = OpenReader();
        if (rc == 0) bench::Measure(&cpuMs, &wallMs, [&] { rc = op.call(i); });
        if (op.onOpenReader) KXReaderPowerOff(0);
      }
      if (rc != 0) {
        std::printf("%-50s failed: %d\n", op.name, rc);
        break;
      }
      long commands = 0, apdus = 0;
      sim.Count(&commands, &apdus);
      if (op.onOpenReader) {
        commands -= n * frameCommands;
        apdus -= n * frameApdus;
      }
      std::printf("%-50s %10.1f %9.1f %7.1f %10.2f %7.2f\n", op.name, wallMs / n,
                  static_cast<double>(commands - commandsBefore) / n,
                  static_cast<double>(apdus - apdusBefore) / n, cpuMs / n, 100.0 * cpuMs / wallMs);
      sim.Count(&commandsBefore, &apdusBefore);
    }
    KXSetComDevice(1, nullptr);
  }
  std::remove(trace.c_str());
  std::remove((trace + ".path").c_str());
  rmdir(dir);
  return rc == 0 ? 0 : 1;
}
