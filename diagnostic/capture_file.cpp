// Where the diagnostic build captures: to KX_CAPTURE when it is set; else,
// unless KX_TRACE asks for the plain trace only, to a file of its own per
// process in the capture folder ($XDG_STATE_HOME/kx-iccreader, or
// ~/.local/state/kx-iccreader, on Linux; %TEMP%\kx-iccreader on Windows), so
// a clinic only swaps the library file in.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "capture/kxcap.h"
#include "core/trace.h"
#include "diagnostic/capture_sink.h"

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kx::diagnostic {

namespace {

std::FILE* captureFile = nullptr;
std::chrono::steady_clock::time_point started;

#if defined(_WIN32)
constexpr const char* kPlatform = sizeof(void*) == 8 ? "windows-x86_64" : "windows-i686";
std::string CaptureFolder() {
  char temp[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n > MAX_PATH) return "";
  std::string folder = std::string(temp) + "kx-iccreader";
  _mkdir(folder.c_str());
  return folder + "\\";
}
int ProcessId() {
  return _getpid();
}
#else
constexpr const char* kPlatform = sizeof(void*) == 8 ? "linux-x86_64" : "linux-i686";
std::string CaptureFolder() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    base = std::string(home) + "/.local";
    mkdir(base.c_str(), 0700);
    base += "/state";
  } else {
    return "";
  }
  mkdir(base.c_str(), 0700);
  const std::string folder = base + "/kx-iccreader";
  mkdir(folder.c_str(), 0700);
  return folder + "/";
}
int ProcessId() {
  return static_cast<int>(getpid());
}
#endif

std::string DefaultCapturePath() {
  const std::string folder = CaptureFolder();
  if (folder.empty()) return "";
  const std::time_t now = std::time(nullptr);
  char stamp[32] = "unknown";
  if (const std::tm* local = std::localtime(&now); local != nullptr) {
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", local);
  }
  return folder + "kx-" + stamp + "-" + std::to_string(ProcessId()) + ".kxcap";
}

// The trace's lines go into the capture too, as "trace" records: they are
// what a person reads first.
void TraceIntoCapture(const char* line) {
  std::string text = std::string("trace ") + std::to_string(CaptureMs()) + " ";
  for (const char* c = line; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    text.push_back(byte >= 0x20 && byte < 0x7F ? *c : '?');
  }
  CaptureWrite(text);
}

// Where to capture, read when the library is loaded; the file itself is
// opened at the first export call, so a process that loads the library and
// never calls it leaves nothing behind.
struct CaptureFromEnvironment {
  CaptureFromEnvironment() {
    const char* capture = std::getenv("KX_CAPTURE");
    const char* trace = std::getenv("KX_TRACE");
    traceSet = trace != nullptr && *trace != '\0';
    if (capture != nullptr && *capture != '\0') {
      path = capture;
    } else if (!traceSet) {
      path = "default";
    }
  }
  std::string path;
  bool traceSet = false;
  bool tried = false;
};

CaptureFromEnvironment wanted;

}  // namespace

bool CaptureStart() {
  if (wanted.tried) return captureFile != nullptr;
  wanted.tried = true;
  if (wanted.path.empty()) return false;
  const std::string path = wanted.path == "default" ? DefaultCapturePath() : wanted.path;
  if (path.empty()) return false;
  captureFile = std::fopen(path.c_str(), "ab");
  if (captureFile == nullptr) return false;
  std::setvbuf(captureFile, nullptr, _IONBF, 0);
  started = std::chrono::steady_clock::now();
  CaptureWrite(std::string("kxcap ") + std::to_string(capture::kFormatVersion));
  CaptureWrite("library " KX_VERSION_TEXT " diagnostic");
  CaptureWrite(std::string("platform ") + kPlatform);
  InstallCaptureBackend();
  if (!wanted.traceSet) SetTraceSink(&TraceIntoCapture);
  return true;
}

bool CaptureOn() {
  return captureFile != nullptr;
}

std::uint32_t CaptureMs() {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - started)
                                        .count());
}

void CaptureWrite(const std::string& line) {
  if (captureFile == nullptr) return;
  std::string whole = line.substr(0, capture::kMaxLineLength);
  whole.push_back('\n');
  std::fwrite(whole.data(), 1, whole.size(), captureFile);
}

}  // namespace kx::diagnostic
