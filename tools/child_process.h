// A child program with pipes to its standard streams (POSIX): how kxcard
// starts kx-sim for --sim, and how the end-to-end tests run kx-sim and read
// the device it prints.
#pragma once

#include <string>
#include <vector>

namespace kx::tools {

class ChildProcess {
 public:
  // Which standard streams of the child are piped to this process; the
  // others it shares with this process.
  enum Stream : unsigned { kStdin = 1, kStdout = 2, kStderr = 4 };

  ChildProcess() = default;
  // A child still running gets SIGTERM, then SIGKILL if it has not ended
  // within 3 s, and is reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up on PATH when it holds no '/') with `argv`.
  // False with a reason in *error when the program cannot be started.
  bool Start(const std::vector<std::string>& argv, unsigned pipes, std::string* error);

  // One line from the child's stdout or stderr, without its '\n': what came
  // before a pause of `timeoutMs`, end of file or 4096 bytes otherwise.
  std::string ReadLine(Stream from, int timeoutMs);
  // Everything up to end of file or a pause of `timeoutMs`.
  std::string ReadAll(Stream from, int timeoutMs);
  // Writes to the child's stdin; false when it could not all be written.
  bool Write(const std::string& text);

  // Sends `signal` (none for 0) and waits up to `timeoutMs` for the child to
  // end: its exit status, 128 + the signal that ended it, or -1 when it is
  // still running.
  int Stop(int signal, int timeoutMs);

  // Closes the pipes and leaves the running child to the caller, who then
  // ends and reaps it by its process id, returned here (-1 when none).
  int Release();
  // The running child's process id (-1 when none).
  int pid() const { return pid_; }

 private:
  int FdOf(Stream stream) const;

  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

// The device a kx-sim names in the first line it prints ("kx-sim: reader on
// /dev/pts/5", or the bare path with --print-path-only); empty when the line
// names none.
std::string SimulatorDevicePath(const std::string& firstLine);

}  // namespace kx::tools
