// The portable part of the native backend on POSIX systems: termios on tty
// devices, a monotonic millisecond clock, and no keyboard. With no Escape key
// to watch, a wait for input is one poll for the caller's whole remaining
// time. Only POSIX calls here (flock and the TIOCEXCL/TIOCM ioctls are on
// every system we know of); the system's own part is in its folder.
#include "platform/posix/posix_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/state.h"
#include "platform/platform_state.h"
#include "platform/platform.h"

namespace kx::platform {
namespace posix {

namespace {

// The port handle is the descriptor plus one, so descriptor 0 is not null.
SerialPort* ToHandle(int fd) {
  return reinterpret_cast<SerialPort*>(static_cast<std::uintptr_t>(fd) + 1);
}
int ToFd(SerialPort* port) {
  return static_cast<int>(reinterpret_cast<std::uintptr_t>(port) - 1);
}

void SleepFor(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool BaudToSpeed(int baud, speed_t* speed) {
  struct Rate {
    int baud;
    speed_t speed;
  };
  // The rates every POSIX system names; the system's own folder adds more.
  static constexpr Rate kRates[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400},
  };
  for (const Rate& rate : kRates) {
    if (rate.baud == baud) {
      *speed = rate.speed;
      return true;
    }
  }
  return SystemBaudSpeed(baud, speed);
}

bool DataBitsToSize(int byteSize, tcflag_t* size) {
  switch (byteSize) {
    case 5:
      *size = CS5;
      return true;
    case 6:
      *size = CS6;
      return true;
    case 7:
      *size = CS7;
      return true;
    case 8:
      *size = CS8;
      return true;
    default:
      return false;
  }
}

}  // namespace

std::uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

int PollFor(int fd, short events, std::uint32_t timeoutMs) {
  const std::uint64_t start = MonotonicMs();
  for (;;) {
    const std::uint64_t passed = MonotonicMs() - start;
    const int left = passed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - passed);
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, left);
    if (ready > 0) return entry.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool ApplyLineSettings(termios* line, int baud, int byteSize, int parity) {
  termios& settings = *line;
  speed_t speed{};
  tcflag_t size{};
  if (!BaudToSpeed(baud, &speed) || !DataBitsToSize(byteSize, &size)) return false;
  // Raw bytes both ways: a cooked tty would echo, turn 0x03 into SIGINT,
  // map CR to NL and swallow the XON/XOFF bytes. Hardware flow control and
  // the stop bits stay as the port has them.
  settings.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                             ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUCLC);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG |
                                             IEXTEN | NOFLSH | TOSTOP);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
  const tcflag_t stick = StickParityFlag();
  switch (parity) {
    case 1:
      settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | stick);
      break;
    case 2:
      settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(PARODD | stick)) | PARENB;
      break;
    case 3:
      settings.c_cflag = (settings.c_cflag & ~stick) | PARENB | PARODD;
      break;
    case 4:
    case 5:
      if (stick == 0) return false;  // the terminal has no mark or space parity
      settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(PARODD)) | PARENB | stick |
                         (parity == 4 ? PARODD : 0);
      break;
    default:
      break;
  }
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  return cfsetispeed(&settings, speed) == 0 && cfsetospeed(&settings, speed) == 0;
}

bool SetComDevice(int port, const char* devicePath) {
  if (port < 1 || port > kMaxComPort) return false;
  const std::size_t length =
      devicePath == nullptr ? 0 : strnlen(devicePath, kMaxDevicePathLength + 1);
  if (length > static_cast<std::size_t>(kMaxDevicePathLength)) return false;
  std::memcpy(PlatformSettings.comDevicePaths[port], devicePath == nullptr ? "" : devicePath, length);
  PlatformSettings.comDevicePaths[port][length] = '\0';
  return true;
}

bool ComDevicePath(int port, char* path) {
  if (port < 1) return false;
  if (port <= kMaxComPort && PlatformSettings.comDevicePaths[port][0] != '\0') {
    std::memcpy(path, PlatformSettings.comDevicePaths[port], kMaxDevicePathLength + 1);
    return true;
  }
  std::snprintf(path, kMaxDevicePathLength + 1, "/dev/ttyS%d", port - 1);
  return true;
}

// ---------------------------------------------------------------- serial ports

SerialPort* SerialBackend::SerialOpen(int port) {
  char path[kMaxDevicePathLength + 1];
  if (!ComDevicePath(port, path)) {
    NoteError(ENODEV);
    return nullptr;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NoteError(errno);
    return nullptr;
  }
  termios settings{};
  // TIOCEXCL keeps other processes out (except privileged ones); the lock
  // also keeps out a second open in this process and privileged openers.
  if (tcgetattr(fd, &settings) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ioctl(fd, TIOCEXCL) != 0) {
    NoteError(errno);
    close(fd);
    return nullptr;
  }
  // Reads return at once with whatever is queued: O_NONBLOCK sees to it
  // whatever VMIN and VTIME say, so the settings need no write here (the
  // line settings written next clear both anyway).
  return ToHandle(fd);
}

bool SerialBackend::SerialSetLine(SerialPort* port, int baud, int byteSize, int parity) {
  const int fd = ToFd(port);
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    NoteError(errno);
    return false;
  }
  if (!ApplyLineSettings(&settings, baud, byteSize, parity)) {
    NoteError(EINVAL);
    return false;
  }
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    NoteError(errno);
    return false;
  }
  return true;
}

bool SerialBackend::SerialSetQueues(SerialPort*, int, int) {
  return true;
}

bool SerialBackend::SerialSetRts(SerialPort* port, bool raised) {
  int lines = TIOCM_RTS;
  return ioctl(ToFd(port), raised ? TIOCMBIS : TIOCMBIC, &lines) == 0;
}

void SerialBackend::SerialPurge(SerialPort* port) {
  tcflush(ToFd(port), TCIOFLUSH);
}

int SerialBackend::SerialWrite(SerialPort* port, const std::uint8_t* bytes, int count,
                               std::uint32_t timeoutMs) {
  const int fd = ToFd(port);
  const std::uint64_t start = MonotonicMs();
  int written = 0;
  while (written < count) {
    const ssize_t n = write(fd, bytes + written, static_cast<std::size_t>(count - written));
    if (n > 0) {
      written += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      NoteError(errno);
      return -1;
    }
    const std::uint64_t passed = MonotonicMs() - start;
    if (passed >= timeoutMs) break;
    const int ready = PollFor(fd, POLLOUT, static_cast<std::uint32_t>(timeoutMs - passed));
    if (ready < 0 || (ready > 0 && (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0)) {
      NoteError(ready < 0 ? errno : EIO);
      return -1;
    }
    if (ready == 0) break;
  }
  return written;
}

int SerialBackend::SerialBytesWaiting(SerialPort* port) {
  int waiting = 0;
  if (ioctl(ToFd(port), FIONREAD, &waiting) != 0) {
    NoteError(errno);
    return -1;
  }
  return waiting;
}

int SerialBackend::SerialRead(SerialPort* port, std::uint8_t* buffer, int maxBytes) {
  if (maxBytes <= 0) return 0;
  for (;;) {
    const ssize_t n = read(ToFd(port), buffer, static_cast<std::size_t>(maxBytes));
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    NoteError(errno);
    return -1;
  }
}

bool SerialBackend::SerialWaitReadable(SerialPort* port, std::uint32_t timeoutMs) {
  const std::uint64_t start = MonotonicMs();
  const int fd = ToFd(port);
  const int ready = PollFor(fd, POLLIN, timeoutMs);
  if (ready == 0) return false;
  if (ready > 0 && (ready & (POLLERR | POLLHUP | POLLNVAL)) == 0) return (ready & POLLIN) != 0;
  // A hung-up tty (the device pulled out, the other end of a
  // pseudo-terminal closed) refuses the query: the caller's own query
  // finds that out and gives the port up.
  int waiting = 0;
  if (ready < 0 || ioctl(fd, FIONREAD, &waiting) != 0 || waiting > 0) return true;
  // A line that says it is broken yet still answers polls ready at once;
  // wait out the time-out so the caller's loop does not spin on it.
  const std::uint64_t passed = MonotonicMs() - start;
  if (passed < timeoutMs) SleepFor(static_cast<std::uint32_t>(timeoutMs - passed));
  return false;
}

std::uint32_t SerialBackend::SerialNativeHandle(SerialPort* port) {
  return static_cast<std::uint32_t>(ToFd(port));
}

void SerialBackend::SerialClose(SerialPort* port) {
  const int fd = ToFd(port);
  ioctl(fd, TIOCNXCL);
  close(fd);
}

// ---------------------------------------------------------------- time

std::uint32_t SerialBackend::TickMs() {
  return static_cast<std::uint32_t>(MonotonicMs());
}

void SerialBackend::SleepMs(std::uint32_t ms) {
  SleepFor(ms);
}

const char* ErrnoReason(int code) {
  struct Reason {
    int code;
    const char* text;
  };
  static constexpr Reason kReasons[] = {
      {0, "no error noted"},
      {EACCES, "access denied (no permission for the device)"},
      {EPERM, "access denied (no permission for the device)"},
      {EBUSY, "device busy (another program holds the port)"},
      {EWOULDBLOCK, "device busy (another program holds the port)"},
      {ENOENT, "no such device"},
      {ENODEV, "no such device"},
      {ENXIO, "no such device (unplugged, or a port without hardware)"},
      {ENOTTY, "not a serial device"},
      {EIO, "input/output error (the device was pulled out or hung up)"},
      {EINVAL, "setting refused (a baud rate, data bits or parity the port cannot take)"},
      {EMFILE, "too many open files"},
      {ENFILE, "too many open files"},
  };
  for (const Reason& reason : kReasons) {
    if (reason.code == code) return reason.text;
  }
  return "system error";
}

}  // namespace posix

namespace {
pthread_mutex_t libraryLock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

void LockLibrary() {
  pthread_mutex_lock(&libraryLock);
}

void UnlockLibrary() {
  pthread_mutex_unlock(&libraryLock);
}

}  // namespace kx::platform
