// Serves a simulated serial device on a pseudo-terminal, so any host that can
// open a tty (the library's POSIX serial code, a customer's application, a
// terminal program) talks to it as to a COM port.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/reply_schedule.h"
#include "sim/wire.h"

namespace kx::sim {

class PtyServer {
 public:
  enum class StopReason { kRequested, kIdle, kError };

  explicit PtyServer(SerialDevice& device);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the pseudo-terminal in raw mode. The server keeps a descriptor of
  // the slave side open itself, so a host may close and reopen the device as
  // often as it likes without the master side seeing a hang-up, and the line
  // settings survive between hosts. False with a reason in *error.
  bool Open(std::string* error);
  // The device path hosts open, e.g. "/dev/pts/5". Empty before Open.
  const std::string& SlavePath() const { return slavePath_; }

  // 0 for no limit: serving ends after this long without host bytes.
  void SetIdleLimitMs(std::uint64_t ms) { idleLimitMs_ = ms; }
  // Paces the line at `baud` both ways (see ReplySchedule); 0, the default,
  // for bytes at once. Before Serve.
  void SetBaud(std::uint32_t baud) { schedule_.SetBaud(baud); }
  // Called after every batch of host bytes has been given to the device.
  void SetAfterInput(std::function<void()> callback) { afterInput_ = std::move(callback); }
  // Lines read from `fd` (e.g. standard input) are handed to `onLine`, on the
  // serving thread, so the callback may touch the device. End of file stops
  // the watching, not the serving.
  void WatchLines(int fd, std::function<void(const std::string&)> onLine);

  // Reads host bytes, feeds the device and writes its replies with their
  // delays, until RequestStop, the idle limit, or a failure of the pty.
  StopReason Serve();
  // Safe from a signal handler and from any thread.
  void RequestStop();

 private:
  void HandleHostBytes(std::uint64_t nowUs);
  void HandleLines();
  void WriteDue(std::uint64_t nowUs);
  // When the serving loop next hands bytes to the host.
  std::optional<std::uint64_t> NextWriteUs() const;

  SerialDevice& device_;
  int master_ = -1;
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::atomic<bool> stop_{false};
  std::uint64_t idleLimitMs_ = 0;
  std::uint64_t lastInputUs_ = 0;
  std::function<void()> afterInput_;
  ReplySchedule schedule_;
  std::vector<std::uint8_t> unwritten_;
  int linesFd_ = -1;
  std::string lineBuffer_;
  std::function<void(const std::string&)> onLine_;
};

}  // namespace kx::sim
