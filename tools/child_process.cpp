#include "tools/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace kx::tools {
namespace {

constexpr std::size_t kMaxLine = 4096;

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

bool Readable(int fd, int timeoutMs) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && Stop(SIGTERM, 3000) == -1) Stop(SIGKILL, -1);
  for (int* fd : {&in_, &out_, &err_}) CloseFd(fd);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, unsigned pipes, std::string* error) {
  if (argv.empty() || pid_ > 0) {
    *error = argv.empty() ? "no program" : "a child is running already";
    return false;
  }
  // [stream][0] is the end the child reads or writes, [stream][1] ours.
  int ends[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  const unsigned streams[3] = {kStdin, kStdout, kStderr};
  for (int k = 0; k < 3; ++k) {
    if ((pipes & streams[k]) == 0) continue;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      *error = std::strerror(errno);
      for (auto& e : ends) {
        CloseFd(&e[0]);
        CloseFd(&e[1]);
      }
      return false;
    }
    // A pipe reads at fds[0] and writes at fds[1]; stdin is the child's reading end.
    ends[k][0] = k == 0 ? fds[0] : fds[1];
    ends[k][1] = k == 0 ? fds[1] : fds[0];
  }
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& w : words) args.push_back(w.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int k = 0; k < 3; ++k) {
    if (ends[k][0] >= 0) posix_spawn_file_actions_adddup2(&actions, ends[k][0], k);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (auto& e : ends) CloseFd(&e[0]);
  if (rc != 0) {
    for (auto& e : ends) CloseFd(&e[1]);
    *error = argv[0] + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  in_ = ends[0][1];
  out_ = ends[1][1];
  err_ = ends[2][1];
  return true;
}

int ChildProcess::FdOf(Stream stream) const {
  return stream == kStdin ? in_ : stream == kStdout ? out_ : err_;
}

std::string ChildProcess::ReadLine(Stream from, int timeoutMs) {
  const int fd = FdOf(from);
  std::string line;
  char c = 0;
  while (fd >= 0 && line.size() < kMaxLine && Readable(fd, timeoutMs)) {
    if (read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

std::string ChildProcess::ReadAll(Stream from, int timeoutMs) {
  const int fd = FdOf(from);
  std::string all;
  char buffer[4096];
  while (fd >= 0 && Readable(fd, timeoutMs)) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

bool ChildProcess::Write(const std::string& text) {
  if (in_ < 0) return false;
  return write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProcess::Stop(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  if (signal != 0) kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, timeoutMs < 0 ? 0 : WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      return -1;
    }
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return -1;
    if (done == 0) poll(nullptr, 0, 10);
  }
}

int ChildProcess::Release() {
  for (int* fd : {&in_, &out_, &err_}) CloseFd(fd);
  const int pid = pid_;
  pid_ = -1;
  return pid;
}

std::string SimulatorDevicePath(const std::string& firstLine) {
  const std::size_t at = firstLine.find("/dev/");
  if (at == std::string::npos) return "";
  return firstLine.substr(at, firstLine.find_first_of(" \t\r", at) - at);
}

}  // namespace kx::tools
