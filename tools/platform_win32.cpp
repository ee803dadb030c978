#include <windows.h>

#include <vector>

#include "tools/platform_tools.h"

namespace kxcard {

std::string GbkToUtf8(const std::string& gbk) {
  if (gbk.empty()) return gbk;
  const int wide = MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), nullptr, 0);
  if (wide <= 0) return gbk;
  std::vector<wchar_t> w(static_cast<size_t>(wide));
  MultiByteToWideChar(936, 0, gbk.data(), static_cast<int>(gbk.size()), w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
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

}  // namespace kxcard
