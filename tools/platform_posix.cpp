#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "KX_ICCReader.h"
#include "tools/child_process.h"
#include "tools/platform_tools.h"

namespace kxcard {

namespace {

// iconv from one character set to another. A sequence `from` does not hold
// is copied as it is when `keepInvalid`, and fails the conversion otherwise.
bool Convert(const char* to, const char* from, const std::string& in, bool keepInvalid,
             std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string converted(in.size() * 3 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = converted.data();
  size_t dstLeft = converted.size();
  bool whole = true;
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (!keepInvalid || dstLeft == 0) {
      whole = false;
      break;
    }
    *dst++ = *src++;
    --srcLeft;
    --dstLeft;
  }
  iconv_close(cd);
  converted.resize(converted.size() - dstLeft);
  *out = std::move(converted);
  return whole;
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) {
  std::string utf8;
  // An invalid sequence is copied as it is rather than losing the rest.
  if (!Convert("UTF-8", "GBK", gbk, true, &utf8) && utf8.empty()) return gbk;
  return utf8;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  return Convert("GBK", "UTF-8", utf8, false, gbk);
}

namespace {

bool Executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

std::string FindSimulator(const std::string& argv0) {
  if (const char* env = std::getenv("KX_SIM"); env != nullptr && *env != '\0') return env;
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv0;
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  for (const std::string& candidate : {dir + "/kx-sim", dir + "/../kx-sim"}) {
    if (Executable(candidate)) return candidate;
  }
  return "kx-sim";  // from PATH
}

}  // namespace

bool StartSimulator(const std::string& argv0, const std::string& extraArgs, Simulator* sim,
                    std::string* error) {
  std::vector<std::string> args = {FindSimulator(argv0)};
  std::istringstream split(extraArgs);
  for (std::string word; split >> word;) args.push_back(word);
  kx::tools::ChildProcess child;
  if (!child.Start(args, kx::tools::ChildProcess::kStdout, error)) return false;
  const std::string line = child.ReadLine(kx::tools::ChildProcess::kStdout, 5000);
  const std::string path = kx::tools::SimulatorDevicePath(line);
  if (path.empty()) {
    *error = "no pseudo-terminal reported (got \"" + line + "\")";
    return false;
  }
  sim->devicePath = path;
  sim->pid = child.Release();
  return true;
}

void StopSimulator(Simulator* sim) {
  if (sim->pid <= 0) return;
  kill(sim->pid, SIGTERM);
  int status = 0;
  waitpid(sim->pid, &status, 0);
  sim->pid = -1;
}

bool MapComPort(int port, const std::string& devicePath, int* code) {
  *code = KXSetComDevice(port, devicePath.c_str());
  return *code == 0;
}

struct Countdown::Impl {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Countdown::Countdown(const std::string& label, int seconds) : impl_(new Impl) {
  impl_->thread = std::thread([this, label, seconds] {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    for (int left = seconds; left >= 0 && !impl_->stop; --left) {
      std::printf("\r%s %2d s ", label.c_str(), left);
      std::fflush(stdout);
      impl_->wake.wait_for(lock, std::chrono::seconds(1), [this] { return impl_->stop; });
    }
    std::printf("\r%*s\r", static_cast<int>(label.size()) + 6, "");
    std::fflush(stdout);
  });
}

Countdown::~Countdown() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->wake.notify_all();
  impl_->thread.join();
  delete impl_;
}

}  // namespace kxcard
