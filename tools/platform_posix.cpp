#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <iconv.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

std::string DefaultDevice(int port) {
  return "/dev/ttyS" + std::to_string(port - 1);
}

namespace {

// The group that owns `path`, for the hint after a refused open.
std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  const group* g = getgrgid(st.st_gid);
  return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
}

constexpr const char* kUdevRule = "/usr/lib/udev/rules.d/60-kx-iccreader.rules";

// `named`: the user gave the path, so a missing device is no mapping to suggest.
std::string RefusedOpen(const std::string& path, int error, bool named = false) {
  std::string text = "cannot open " + path + ": " + std::strerror(error);
  if (error == EACCES || error == EPERM) {
    const bool usb = path.rfind("/dev/hidraw", 0) == 0;
    // Serial ports belong to dialout; the package's udev rule gives the USB
    // reader and the PIN pad to plugdev.
    std::string group = GroupOf(path);
    if (group.empty() || group == "root") group = usb ? "plugdev" : "dialout";
    text += "\nhint: " + path + " is for the group \"" + group +
            "\"; add yourself with: sudo usermod -aG " + group + " \"$USER\" (then log in again)";
    if (usb && access(kUdevRule, F_OK) != 0) {
      text +=
          "\nhint: the udev rule that gives the USB reader and the PIN pad to plugdev is "
          "not installed (" +
          std::string(kUdevRule) + ", in the kx-iccreader package)";
    } else if (usb) {
      text += "\nhint: the udev rule " + std::string(kUdevRule) +
              " applies when the device is plugged in again";
    }
  } else if (error == EBUSY) {
    text += "\nhint: another program holds " + path + "; close it, then try again";
  } else if (error == ENOENT && !named) {
    text += "\nhint: map the COM port to your reader's device with --device PATH";
  }
  return text;
}

// The reader identities the library accepts on USB, as the kernel writes
// them in HID_ID ("0003:00003C4E:00000402").
constexpr const char* kUsbReaderIds[] = {"00003C4E:00000402", "00007B15:00000201"};

std::string UsbFailureReason() {
  std::string found;
  DIR* dir = opendir("/sys/class/hidraw");
  if (dir != nullptr) {
    for (dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
      if (std::strncmp(e->d_name, "hidraw", 6) != 0) continue;
      std::ifstream uevent(std::string("/sys/class/hidraw/") + e->d_name + "/device/uevent");
      std::string line;
      bool reader = false;
      while (std::getline(uevent, line)) {
        for (const char* id : kUsbReaderIds) {
          if (line.rfind("HID_ID=", 0) == 0 && line.find(id) != std::string::npos) reader = true;
        }
      }
      if (!reader) continue;
      const std::string path = std::string("/dev/") + e->d_name;
      const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) {
        found += (found.empty() ? "" : "\n") + RefusedOpen(path, errno);
      } else {
        close(fd);
        found +=
            (found.empty() ? "" : "\n") + path + " opens for kxcard; the library could not use it";
      }
    }
    closedir(dir);
  }
  if (found.empty()) return "no USB reader (3C4E:0402 or 7B15:0201) is attached";
  return found;
}

}  // namespace

std::string OpenFailureReason(int port, const std::string& device) {
  if (port == 100) return UsbFailureReason();
  const std::string path = device.empty() ? DefaultDevice(port) : device;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RefusedOpen(path, errno, !device.empty());
  std::string reason;
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    reason = path + " is not a serial device: " + std::strerror(errno);
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    reason = path + " is in use by another program";
  } else {
    reason = path + " opens for kxcard; the library could not set it up";
  }
  close(fd);
  return reason;
}

std::vector<ScanPort> ScanPorts() {
  std::vector<ScanPort> ports;
  for (int n = 1; n <= 99; ++n) {
    if (access(DefaultDevice(n).c_str(), F_OK) == 0) ports.push_back({n, ""});
  }
  // USB serial adapters get COM numbers above the USB reader's 100.
  int next = 101;
  for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc && next <= 255; ++i) {
        ports.push_back({next++, found.gl_pathv[i]});
      }
    }
    globfree(&found);
  }
  return ports;
}

void PrepareConsole() {}

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool ReadSecretLine(const std::string& prompt, std::string* line) {
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  line->clear();
  bool read = false;
  for (int c = std::getchar(); c != EOF; c = std::getchar()) {
    read = true;
    if (c == '\n') break;
    if (c != '\r') line->push_back(static_cast<char>(c));
  }
  if (terminal) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fprintf(stderr, "\n");
  return read;
}

bool RunWithTrace(char** argv, std::string* error) {
  constexpr const char* kMarker = "KXCARD_TRACING";
  if (std::getenv(kMarker) != nullptr) {
    // Programs kxcard starts (kx-sim) do not get the library.
    unsetenv("LD_PRELOAD");
    unsetenv(kMarker);
    return true;
  }
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    *error = "cannot find this program";
    return false;
  }
  std::string dir(self, static_cast<size_t>(n));
  dir.resize(dir.rfind('/'));
  std::string library;
  for (const std::string& candidate :
       {dir + "/" KXCARD_DIAG_LIBRARY, dir + "/" KXCARD_LIBRARY_DIR "/" KXCARD_DIAG_LIBRARY}) {
    if (access(candidate.c_str(), R_OK) == 0) {
      library = candidate;
      break;
    }
  }
  if (library.empty()) {
    *error = "the library's diagnostic build (" KXCARD_DIAG_LIBRARY ") is not installed";
    return false;
  }
  // Preloaded, its exports stand in for the product's.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && *preload != '\0') library += std::string(":") + preload;
  setenv("LD_PRELOAD", library.c_str(), 1);
  setenv("KX_TRACE", "/dev/stderr", 0);
  // The library opens /dev/stderr again, in append mode; kxcard's own
  // messages must append too, or they overwrite its lines in a file.
  const int flags = fcntl(STDERR_FILENO, F_GETFL);
  if (flags != -1) fcntl(STDERR_FILENO, F_SETFL, flags | O_APPEND);
  setenv(kMarker, "1", 1);
  execv("/proc/self/exe", argv);
  *error = std::string("cannot run kxcard again: ") + std::strerror(errno);
  return false;
}

struct Countdown::Impl {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Countdown::Countdown(const std::string& label, int seconds) : impl_(new Impl) {
  if (!StderrIsTerminal()) return;
  impl_->thread = std::thread([this, label, seconds] {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    for (int left = seconds; left >= 0 && !impl_->stop; --left) {
      std::fprintf(stderr, "\r%s %2d s ", label.c_str(), left);
      std::fflush(stderr);
      impl_->wake.wait_for(lock, std::chrono::seconds(1), [this] { return impl_->stop; });
    }
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(label.size()) + 6, "");
    std::fflush(stderr);
  });
}

Countdown::~Countdown() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->wake.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
  delete impl_;
}

}  // namespace kxcard
