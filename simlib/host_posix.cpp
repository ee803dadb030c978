#include <dlfcn.h>

#include <cstdio>

#include "simlib/host.h"

namespace kx::simlib {

std::string LibraryDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr) {
    return "";
  }
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

void Say(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace kx::simlib
