// What the secure services cost, through the shipped library as a host calls
// it, against kx-sim on a pseudo-terminal mapped as COM1: the wall time of
// one call, the reader commands it sends (APDUs among them), and the CPU time
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
  std::function<int()> call;
};

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
    const Operation operations[] = {
        {"KXReadInfoAIO 3F00 EF05 0 (free, 7 records)",
         [] { return KXReadInfoAIO("3F00", "EF05", 0, out); }},
        {"KXReadInfoAIO DF03 EF05 2 (PIN and RK2DF03)",
         [] { return KXReadInfoAIO("DF03", "EF05", 2, out); }},
        {"KXUpdateBinaryAIO DF0B EF0C 256 bytes (UK1DF0B)",
         [] { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, data); }},
        {"KXReadBinaryAIO DF0B EF0C 256 bytes (RK1DF0B)",
         [] { return KXReadBinaryAIO("DF0B", "EF0C", 0, 256, hex); }},
    };
    std::printf("%-50s %10s %9s %7s %10s %7s\n", "operation (per call)", "wall ms", "commands",
                "APDUs", "CPU ms", "CPU %");
    long commandsBefore = 0, apdusBefore = 0;
    sim.Count(&commandsBefore, &apdusBefore);
    for (const Operation& op : operations) {
      // The library works on the calling thread, the only one here.
      double cpuMs = 0;
      double wallMs = 0;
      bench::Measure(&cpuMs, &wallMs, [&] {
        for (int i = 0; i < calls && rc == 0; ++i) rc = op.call();
      });
      if (rc != 0) {
        std::printf("%-50s failed: %d\n", op.name, rc);
        break;
      }
      long commands = 0, apdus = 0;
      sim.Count(&commands, &apdus);
      std::printf("%-50s %10.1f %9.1f %7.1f %10.2f %7.2f\n", op.name, wallMs / calls,
                  static_cast<double>(commands - commandsBefore) / calls,
                  static_cast<double>(apdus - apdusBefore) / calls, cpuMs / calls,
                  100.0 * cpuMs / wallMs);
      commandsBefore = commands;
      apdusBefore = apdus;
    }
    KXSetComDevice(1, nullptr);
  }
  std::remove(trace.c_str());
  std::remove((trace + ".path").c_str());
  rmdir(dir);
  return rc == 0 ? 0 : 1;
}
