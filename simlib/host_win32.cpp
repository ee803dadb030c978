#include <windows.h>

#include "simlib/host.h"

namespace kx::simlib {

std::string LibraryDirectory() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&LibraryDirectory), &self)) {
    return "";
  }
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(self, path, sizeof path);
  if (length == 0 || length >= sizeof path) return "";
  const std::string file(path, length);
  const std::size_t separator = file.find_last_of("\\/");
  return separator == std::string::npos ? "" : file.substr(0, separator + 1);
}

void Say(const std::string& line) {
  const std::string text = line + "\r\n";
  OutputDebugStringA(text.c_str());
  // A GUI host has no stderr: the debugger's output is then the only place.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

}  // namespace kx::simlib
