#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "KX_ICCReader.h"
#include "tools/platform_tools.h"

extern char** environ;

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

namespace {

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

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
  int out[2];
  if (pipe(out) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  const std::string program = FindSimulator(argv0);
  std::vector<std::string> args = {program};
  std::istringstream split(extraArgs);
  for (std::string word; split >> word;) args.push_back(word);
  std::vector<char*> argvList;
  for (std::string& a : args) argvList.push_back(a.data());
  argvList.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argvList.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    *error = program + ": " + std::strerror(rc);
    return false;
  }
  sim->pid = pid;

  // The first line kx-sim prints names its pseudo-terminal.
  std::string line;
  char c = 0;
  while (line.size() < 4096) {
    pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    if (read(out[0], &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  close(out[0]);
  const size_t at = line.find("/dev/");
  if (at == std::string::npos) {
    *error = "no pseudo-terminal reported (got \"" + line + "\")";
    StopSimulator(sim);
    return false;
  }
  sim->devicePath = line.substr(at, line.find_first_of(" \t\r", at) - at);
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

}  // namespace kxcard
