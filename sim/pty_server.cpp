#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kx::sim {

namespace {

// A reply nobody reads must not eat the simulator's memory.
constexpr std::size_t kMaxUnwritten = 1 << 20;
constexpr std::size_t kMaxLine = 4096;
// On a paced line bytes reach the host in bursts, as a 16550 UART's receive
// FIFO hands them over: 8 at a time (its usual trigger level), or what came
// within 10 ms, and the last byte of a reply at once (an ideal receive
// time-out), so a reply is never late for being in a burst.
constexpr std::size_t kBurstBytes = 8;
constexpr std::uint64_t kBurstSpanUs = 10000;
// How much earlier than the end of a reply the serving loop wakes.
constexpr std::uint64_t kEndEarlyUs = 200;
// The longest sleep of the serving loop with nothing due.
constexpr std::uint64_t kIdleWakeUs = 1000000;

std::uint64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

bool SetFlags(int fd, int statusFlags) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | statusFlags) < 0) return false;
  return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

std::string Reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PtyServer::PtyServer(SerialDevice& device) : device_(device) {}

PtyServer::~PtyServer() {
  for (int fd : {master_, slave_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool PtyServer::Open(std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (master_ >= 0) return true;

  if (pipe(wake_) != 0) {
    *error = Reason("pipe");
    return false;
  }
  SetFlags(wake_[0], O_NONBLOCK);
  SetFlags(wake_[1], O_NONBLOCK);

  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    *error = Reason("posix_openpt");
    return false;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = Reason("grantpt/unlockpt");
    return false;
  }
  char name[256] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *error = Reason("ptsname_r");
    return false;
  }
  if (!SetFlags(master_, O_NONBLOCK)) {
    *error = Reason("fcntl");
    return false;
  }
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    *error = Reason(name);
    return false;
  }
  // Raw from the start: a host that never touches the line settings must not
  // get its bytes echoed back as if the reader had sent them.
  termios tio{};
  if (tcgetattr(slave_, &tio) != 0) {
    *error = Reason("tcgetattr");
    return false;
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
    *error = Reason("tcsetattr");
    return false;
  }
  slavePath_ = name;
  return true;
}

void PtyServer::WatchLines(int fd, std::function<void(const std::string&)> onLine) {
  linesFd_ = fd;
  onLine_ = std::move(onLine);
  lineBuffer_.clear();
}

void PtyServer::RequestStop() {
  stop_ = true;
  if (wake_[1] >= 0) {
    const char c = 'x';
    [[maybe_unused]] ssize_t r = write(wake_[1], &c, 1);
  }
}

std::optional<std::uint64_t> PtyServer::NextWriteUs() const {
  if (schedule_.baud() == 0) return schedule_.NextDue();
  return schedule_.BurstDue(kBurstBytes, kBurstSpanUs);
}

PtyServer::StopReason PtyServer::Serve() {
  if (master_ < 0) return StopReason::kError;
  // A paced line is only as exact as the wake-ups that feed it.
  if (schedule_.baud() != 0) prctl(PR_SET_TIMERSLACK, 1UL);
  lastInputUs_ = NowUs();
  while (!stop_) {
    std::uint64_t now = NowUs();
    WriteDue(now);

    std::uint64_t timeout = kIdleWakeUs;
    if (auto due = NextWriteUs()) {
      // The end of a reply is what the host waits for: on a paced line wake
      // a little early and wait out the rest here, so it is written on time
      // however late the wake-up.
      const bool end = schedule_.baud() != 0 && *due == schedule_.ChunkEndDue();
      if (end && *due > now && *due - now <= kEndEarlyUs) {
        while (NowUs() < *due) {
        }
        continue;
      }
      const std::uint64_t early = end ? kEndEarlyUs : 0;
      timeout = std::min(timeout, *due > now + early ? *due - now - early : 0);
    }
    if (idleLimitMs_ > 0 && schedule_.empty() && unwritten_.empty()) {
      const std::uint64_t deadline = lastInputUs_ + idleLimitMs_ * 1000;
      if (now >= deadline) return StopReason::kIdle;
      timeout = std::min(timeout, deadline - now);
    }

    pollfd fds[3] = {};
    fds[0] = {master_, static_cast<short>(POLLIN | (unwritten_.empty() ? 0 : POLLOUT)), 0};
    fds[1] = {wake_[0], POLLIN, 0};
    nfds_t count = 2;
    if (linesFd_ >= 0) fds[count++] = {linesFd_, POLLIN, 0};
    const timespec wait{static_cast<time_t>(timeout / 1000000),
                        static_cast<long>(timeout % 1000000) * 1000};
    const int ready = ppoll(fds, count, &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return StopReason::kError;
    }
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      HandleHostBytes(NowUs());
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Only seen when no slave descriptor is open, which our own prevents;
      // pause rather than spin should it happen anyway.
      poll(nullptr, 0, 20);
    }
    if (count > 2 && (fds[2].revents & (POLLIN | POLLHUP))) HandleLines();
  }
  return StopReason::kRequested;
}

void PtyServer::HandleHostBytes(std::uint64_t now) {
  std::uint8_t buffer[4096];
  bool any = false;
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    any = true;
    const std::uint64_t arrived = schedule_.HostBytes(now, static_cast<std::size_t>(n));
    schedule_.Add(arrived, device_.OnHostBytes(buffer, static_cast<std::size_t>(n)));
  }
  if (!any) return;
  lastInputUs_ = now;
  if (afterInput_) afterInput_();
}

void PtyServer::WriteDue(std::uint64_t now) {
  std::vector<std::uint8_t> due = schedule_.TakeDue(now);
  unwritten_.insert(unwritten_.end(), due.begin(), due.end());
  if (unwritten_.size() > kMaxUnwritten) {
    unwritten_.erase(
        unwritten_.begin(),
        unwritten_.begin() + static_cast<std::ptrdiff_t>(unwritten_.size() - kMaxUnwritten));
  }
  while (!unwritten_.empty()) {
    const ssize_t n = write(master_, unwritten_.data(), unwritten_.size());
    if (n <= 0) break;
    unwritten_.erase(unwritten_.begin(), unwritten_.begin() + n);
  }
}

void PtyServer::HandleLines() {
  // One read per wake-up: the descriptor stays blocking (it may be the
  // user's terminal), and poll said it will not block this once.
  char buffer[512];
  const ssize_t n = read(linesFd_, buffer, sizeof buffer);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    linesFd_ = -1;
    return;
  }
  if (n < 0) return;
  lineBuffer_.append(buffer, static_cast<std::size_t>(n));
  std::size_t end;
  while ((end = lineBuffer_.find('\n')) != std::string::npos) {
    std::string line = lineBuffer_.substr(0, end);
    lineBuffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (onLine_) onLine_(line);
  }
  if (lineBuffer_.size() > kMaxLine) lineBuffer_.clear();
}

}  // namespace kx::sim
