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
#include <vector>

#include "KX_ICCReader.h"
#include "tools/child_process.h"
#include "tools/platform_tools.h"

namespace kxcard {

std::string GbkToUtf8(const std::string& gbk) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
  std::string out(gbk.size() * 3 + 4, '\0');
  char* src = const_cast<char*>(gbk.data());
  size_t srcLeft = gbk.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  // An invalid sequence is copied as it is rather than losing the rest.
  while (srcLeft > 0) {
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) break;
    if (dstLeft == 0) break;
    *dst++ = *src++;
    --srcLeft;
    --dstLeft;
  }
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* src = const_cast<char*>(utf8.data());
  size_t srcLeft = utf8.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  const bool converted = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!converted) return false;
  out.resize(out.size() - dstLeft);
  *gbk = out;
  return true;
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
