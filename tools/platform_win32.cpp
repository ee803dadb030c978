#include <windows.h>

#include <cstdio>
#include <vector>

#include "tools/platform_tools.h"

namespace kxcard {

std::string GbkToUtf8(const std::string& gbk) {
  if (gbk.empty()) return gbk;
  const int wide =
      MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (wide <= 0) return gbk;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  gbk->clear();
  if (utf8.empty()) return true;
  const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  if (wide <= 0) return false;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), wide);
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(936, 0, w.data(), wide, nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return false;
  gbk->resize(static_cast<size_t>(bytes));
  WideCharToMultiByte(936, 0, w.data(), wide, gbk->data(), bytes, nullptr, nullptr);
  return true;
}

// The simulator serves a pseudo-terminal, which only exists on the Linux side:
// under Wine, map its path to a COM port in the prefix and use --port.
bool StartSimulator(const std::string&, const std::string&, Simulator*, std::string* error) {
  *error = "--sim is available on Linux only; map kx-sim's pseudo-terminal to a COM port";
  return false;
}

void StopSimulator(Simulator*) {}

bool MapComPort(int, const std::string&, int* code) {
  *code = 0;
  return false;
}

// The win32 thread model of the cross compiler has no std::thread.
struct Countdown::Impl {
  std::string label;
  int seconds = 0;
  HANDLE stop = nullptr;
  HANDLE thread = nullptr;
};

namespace {

DWORD WINAPI RunCountdown(void* argument) {
  auto* impl = static_cast<Countdown::Impl*>(argument);
  for (int left = impl->seconds; left >= 0; --left) {
    std::printf("\r%s %2d s ", impl->label.c_str(), left);
    std::fflush(stdout);
    if (WaitForSingleObject(impl->stop, 1000) == WAIT_OBJECT_0) break;
  }
  std::printf("\r%*s\r", static_cast<int>(impl->label.size()) + 6, "");
  std::fflush(stdout);
  return 0;
}

}  // namespace

Countdown::Countdown(const std::string& label, int seconds) : impl_(new Impl) {
  impl_->label = label;
  impl_->seconds = seconds;
  impl_->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (impl_->stop != nullptr)
    impl_->thread = CreateThread(nullptr, 0, RunCountdown, impl_, 0, nullptr);
}

Countdown::~Countdown() {
  if (impl_->thread != nullptr) {
    SetEvent(impl_->stop);
    WaitForSingleObject(impl_->thread, INFINITE);
    CloseHandle(impl_->thread);
  }
  if (impl_->stop != nullptr) CloseHandle(impl_->stop);
  delete impl_;
}

}  // namespace kxcard
