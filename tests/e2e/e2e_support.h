// What the end-to-end tests share: a kx-sim child process on a
// pseudo-terminal, the shipped library loaded as a host loads it, and
// commands run with their output captured.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/child_process.h"

namespace kx::test {

// A kx-sim child process serving a reader on a pseudo-terminal.
class SimProcess {
 public:
  explicit SimProcess(const std::string& args = "") {
    std::vector<std::string> argv = {KX_SIM_PATH};
    std::istringstream split(args);
    for (std::string word; split >> word;) argv.push_back(word);
    std::string error;
    if (child_.Start(argv, tools::ChildProcess::kStdout, &error)) {
      path_ = tools::SimulatorDevicePath(child_.ReadLine(tools::ChildProcess::kStdout, 5000));
    }
  }
  const std::string& path() const { return path_; }
  // Ends kx-sim with `signal`, which closes its end of the pseudo-terminal.
  int Stop(int signal) { return child_.Stop(signal, 3000); }

 private:
  tools::ChildProcess child_;
  std::string path_;
};

// The library as a host loads it.
class Library {
 public:
  Library() { handle_ = dlopen(KX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }

 private:
  void* handle_ = nullptr;
};

// A test of the library as a host loads it, with its messages at hand.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lib.loaded()) << dlerror(); }
  std::string Message(int code) {
    char text[545] = {};
    lib.Get<int (*)(int, char*)>("KXGetErrMessage")(code, text);
    return text;
  }
  Library lib;
};

// Runs a command through the shell; its exit status, and its standard
// output appended to *output.
inline int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 512> chunk{};
  size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output->append(chunk.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kx::test
