// The POSIX backend against a real pseudo-terminal, and KXSetComDevice.
#include "platform/posix/posix_backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

using platform::SerialPort;

constexpr int kPort = 42;

class PosixBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slaveName_ = name;
    ResetLibraryForTests();
    ASSERT_EQ(KXSetComDevice(kPort, slaveName_.c_str()), 0);
  }
  void TearDown() override {
    ResetLibraryForTests();
    close(slave_);
    close(master_);
  }

  static platform::Backend& Os() { return platform::Native(); }

  void MasterWrite(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // What the master side has received, waiting up to `ms` for the first byte.
  std::string MasterRead(int ms = 1000) {
    pollfd entry{master_, POLLIN, 0};
    if (poll(&entry, 1, ms) <= 0) return {};
    char bytes[4096];
    const ssize_t n = read(master_, bytes, sizeof bytes);
    return n > 0 ? std::string(bytes, static_cast<std::size_t>(n)) : std::string();
  }

  // Reads from the backend port until `count` bytes came or a wait fails.
  std::string PortRead(SerialPort* port, std::size_t count) {
    std::string got;
    while (got.size() < count && Os().SerialWaitReadable(port, 1000)) {
      std::uint8_t bytes[256];
      const int n = Os().SerialRead(port, bytes, sizeof bytes);
      if (n <= 0) break;
      got.append(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(n));
    }
    return got;
  }

  termios SlaveSettings() {
    termios settings{};
    EXPECT_EQ(tcgetattr(slave_, &settings), 0);
    return settings;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
};

TEST_F(PosixBackendTest, RawModePassesControlBytesUnchangedBothWays) {
  SerialPort* port = Os().SerialOpen(kPort);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(Os().SerialSetLine(port, 9600, 8, 1));
  const std::string special("\x03\x0D\x0A\x11\x13\x1A\x7F\x1B\x04\x00\xFF", 11);

  MasterWrite(special);
  EXPECT_EQ(PortRead(port, special.size()), special);

  ASSERT_EQ(Os().SerialWrite(port, reinterpret_cast<const std::uint8_t*>(special.data()),
                             static_cast<int>(special.size()), 1000),
            static_cast<int>(special.size()));
  EXPECT_EQ(MasterRead(), special);
  EXPECT_EQ(MasterRead(0), "");  // nothing echoed or added
  Os().SerialClose(port);
}

TEST_F(PosixBackendTest, LineSettingsReachTheTerminalAndKeepStopBits) {
  termios before = SlaveSettings();
  before.c_cflag |= CSTOPB;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);

  SerialPort* port = Os().SerialOpen(kPort);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(Os().SerialSetLine(port, 19200, 8, 1));
  const termios after = SlaveSettings();
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B19200));
  EXPECT_TRUE(after.c_cflag & CSTOPB);
  EXPECT_TRUE(after.c_cflag & CLOCAL);
  EXPECT_FALSE(after.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(after.c_iflag & (ICRNL | IXON));
  EXPECT_FALSE(after.c_oflag & OPOST);

  EXPECT_FALSE(Os().SerialSetLine(port, 12345, 8, 1));
  EXPECT_FALSE(Os().SerialSetLine(port, 9600, 9, 1));
  EXPECT_TRUE(Os().SerialSetQueues(port, 10000, 10000));
  Os().SerialClose(port);
}

// A pseudo-terminal forces 8 data bits without parity, so the rest of the
// line is checked on the settings the backend hands to the terminal.
TEST(PosixLineSettings, DataBitsAndParityCodesFollowTheCaller) {
  termios line{};
  line.c_cflag = CS8 | CSTOPB | CRTSCTS | HUPCL;
  line.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  line.c_iflag = ICRNL | IXON | INPCK;
  line.c_oflag = OPOST | ONLCR;
  line.c_cc[VMIN] = 1;

  ASSERT_TRUE(platform::posix::ApplyLineSettings(&line, 4800, 7, 2));
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B4800));
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB));
  EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CSTOPB | CRTSCTS | CLOCAL | CREAD));
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_iflag & (ICRNL | IXON | INPCK), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);

  struct {
    int code;
    tcflag_t bits;
  } const kParities[] = {{3, PARENB | PARODD},
                         {4, PARENB | PARODD | CMSPAR},
                         {5, PARENB | CMSPAR},
                         {0, PARENB | CMSPAR},  // unknown codes keep what is there
                         {6, PARENB | CMSPAR},
                         {1, 0},
                         {-1, 0}};
  for (const auto& parity : kParities) {
    ASSERT_TRUE(platform::posix::ApplyLineSettings(&line, 9600, 8, parity.code));
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), parity.bits) << "code " << parity.code;
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  }
  // Every rate POSIX names reaches the terminal as its own speed.
  const struct {
    int baud;
    speed_t speed;
  } kRates[] = {{50, B50},         {75, B75},        {110, B110},     {134, B134},
                {150, B150},       {200, B200},      {300, B300},     {600, B600},
                {1200, B1200},     {1800, B1800},    {2400, B2400},   {4800, B4800},
                {9600, B9600},     {19200, B19200},  {38400, B38400}, {57600, B57600},
                {115200, B115200}, {230400, B230400}};
#ifdef __linux__
  // And the faster ones Linux names.
  const struct {
    int baud;
    speed_t speed;
  } kLinuxRates[] = {{460800, B460800},   {500000, B500000},   {576000, B576000},
                     {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
                     {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
                     {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& rate : kLinuxRates) {
    ASSERT_TRUE(platform::posix::ApplyLineSettings(&line, rate.baud, 8, 1)) << rate.baud;
    EXPECT_EQ(cfgetospeed(&line), rate.speed) << rate.baud;
    EXPECT_FALSE(platform::posix::ApplyLineSettings(&line, rate.baud + 1, 8, 1)) << rate.baud + 1;
  }
#endif
  for (const auto& rate : kRates) {
    ASSERT_TRUE(platform::posix::ApplyLineSettings(&line, rate.baud, 8, 1)) << rate.baud;
    EXPECT_EQ(cfgetospeed(&line), rate.speed) << rate.baud;
    EXPECT_FALSE(platform::posix::ApplyLineSettings(&line, rate.baud + 1, 8, 1)) << rate.baud + 1;
  }
  ASSERT_TRUE(platform::posix::ApplyLineSettings(&line, 115200, 5, 1));
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
  EXPECT_FALSE(platform::posix::ApplyLineSettings(&line, 9600, 4, 1));
  EXPECT_FALSE(platform::posix::ApplyLineSettings(&line, 0, 8, 1));
}

TEST_F(PosixBackendTest, APortOpensOnlyOnceAtATime) {
  SerialPort* first = Os().SerialOpen(kPort);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Os().SerialOpen(kPort), nullptr);
  EXPECT_STREQ(Os().OsErrorReason(Os().LastOsError()),
               "device busy (another program holds the port)");
  Os().SerialClose(first);
  SerialPort* again = Os().SerialOpen(kPort);
  EXPECT_NE(again, nullptr);
  Os().SerialClose(again);
  // Closing gives the line back to everyone (exclusive use is the tty's own
  // flag, which would outlive the descriptor).
  int exclusive = -1;
  ASSERT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(PosixBackendTest, OnlyExistingTtyDevicesOpen) {
  const auto reason = [] { return std::string(Os().OsErrorReason(Os().LastOsError())); };
  ASSERT_EQ(KXSetComDevice(kPort, "/nonexistent/tty"), 0);
  EXPECT_EQ(Os().SerialOpen(kPort), nullptr);
  EXPECT_EQ(reason(), "no such device");
  ASSERT_EQ(KXSetComDevice(kPort, "/dev/null"), 0);  // exists, but is no tty
  EXPECT_EQ(Os().SerialOpen(kPort), nullptr);
  EXPECT_EQ(reason(), "not a serial device");
  EXPECT_EQ(Os().SerialOpen(0), nullptr);
  EXPECT_EQ(reason(), "no such device");
}

TEST_F(PosixBackendTest, BytesWaitingPurgeAndReadabilityWithoutBlocking) {
  SerialPort* port = Os().SerialOpen(kPort);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(Os().SerialSetLine(port, 9600, 8, 1));
  std::uint8_t bytes[16];
  EXPECT_EQ(Os().SerialBytesWaiting(port), 0);
  EXPECT_EQ(Os().SerialRead(port, bytes, sizeof bytes), 0);  // nothing there: no blocking
  EXPECT_FALSE(Os().SerialWaitReadable(port, 0));

  MasterWrite("abc");
  ASSERT_TRUE(Os().SerialWaitReadable(port, 1000));
  EXPECT_EQ(Os().SerialBytesWaiting(port), 3);
  Os().SerialPurge(port);
  EXPECT_EQ(Os().SerialBytesWaiting(port), 0);

  MasterWrite("defg");
  ASSERT_TRUE(Os().SerialWaitReadable(port, 1000));
  EXPECT_EQ(Os().SerialRead(port, bytes, 2), 2);
  EXPECT_EQ(Os().SerialBytesWaiting(port), 2);
  EXPECT_EQ(static_cast<int>(Os().SerialNativeHandle(port)) >= 0, true);
  Os().SerialClose(port);
}

TEST_F(PosixBackendTest, AWriteNobodyDrainsStopsAtItsBound) {
  SerialPort* port = Os().SerialOpen(kPort);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(Os().SerialSetLine(port, 9600, 8, 1));
  std::string big(1 << 20, 'x');
  const int written = Os().SerialWrite(port, reinterpret_cast<const std::uint8_t*>(big.data()),
                                       static_cast<int>(big.size()), 20);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(big.size()));
  Os().SerialClose(port);
}

// A sleep ends when its time is up, whatever errno an earlier call left.
TEST_F(PosixBackendTest, ASleepEndsWhateverAnEarlierCallLeftInErrno) {
  errno = EINTR;
  const std::uint32_t start = Os().TickMs();
  Os().SleepMs(5);
  EXPECT_LT(Os().TickMs() - start, 1000u);
}

// The other end closed, as a pulled-out adapter leaves a tty: the wait ends
// at once and the port's query and writes report the failure.
TEST_F(PosixBackendTest, AHungUpLineEndsTheWaitAndFailsItsQueryAndWrites) {
  SerialPort* port = Os().SerialOpen(kPort);
  ASSERT_NE(port, nullptr);
  close(master_);
  master_ = -1;
  const std::uint64_t start = platform::posix::MonotonicMs();
  EXPECT_TRUE(Os().SerialWaitReadable(port, 5000));
  EXPECT_LT(platform::posix::MonotonicMs() - start, 1000u);
  EXPECT_EQ(Os().SerialBytesWaiting(port), -1);
  const std::uint8_t bytes[] = {0x02, 0x31, 0x03};
  EXPECT_EQ(Os().SerialWrite(port, bytes, 3, 1000), -1);
  Os().SerialClose(port);
}

TEST_F(PosixBackendTest, TheLinkTalksThroughTheNativeBackend) {
  platform::SetBackend(nullptr);
  ASSERT_TRUE(ReaderPort.Open(kPort, 9600, 8, 1).ok());
  EXPECT_EQ(ReaderPort.NativeHandle() > 0, true);
  EXPECT_TRUE(ReaderPort.Open(kPort, 9600, 8, 1).ok());  // kept, not opened twice

  const std::uint8_t command[] = {0x02, 0x31, 0x03};
  ASSERT_EQ(ReaderPort.Write(command, 3), LinkDone(3));
  EXPECT_EQ(MasterRead(), std::string("\x02\x31\x03"));

  MasterWrite(
      std::string("\x02"
                  "AB\x03",
                  4));
  std::uint8_t reply[64];
  const LinkResult read = ReaderPort.Read(reply, sizeof reply, kEtx, 2);
  ASSERT_EQ(read, LinkDone(4));
  const int n = read.count;
  EXPECT_EQ(std::string(reply, reply + n), std::string("\x02"
                                                       "AB\x03",
                                                       4));

  ReaderPort.Close();
  EXPECT_EQ(MasterRead(), std::string("\x1B%B"));
  EXPECT_FALSE(SerialPortOpen);
}

TEST(KXSetComDevice, MapsAndRestoresComPorts) {
  char path[kMaxDevicePathLength + 1];
  ASSERT_TRUE(platform::posix::ComDevicePath(5, path));
  EXPECT_STREQ(path, "/dev/ttyS4");
  ASSERT_TRUE(platform::posix::ComDevicePath(300, path));
  EXPECT_STREQ(path, "/dev/ttyS299");

  EXPECT_EQ(KXSetComDevice(5, "/dev/ttyUSB0"), 0);
  ASSERT_TRUE(platform::posix::ComDevicePath(5, path));
  EXPECT_STREQ(path, "/dev/ttyUSB0");
  EXPECT_EQ(KXSetComDevice(5, ""), 0);
  ASSERT_TRUE(platform::posix::ComDevicePath(5, path));
  EXPECT_STREQ(path, "/dev/ttyS4");

  EXPECT_EQ(KXSetComDevice(255, "/dev/pts/9"), 0);
  ASSERT_TRUE(platform::posix::ComDevicePath(255, path));
  EXPECT_STREQ(path, "/dev/pts/9");
  EXPECT_EQ(KXSetComDevice(255, nullptr), 0);
  ASSERT_TRUE(platform::posix::ComDevicePath(255, path));
  EXPECT_STREQ(path, "/dev/ttyS254");

  const std::string longest(255, 'p');
  EXPECT_EQ(KXSetComDevice(1, longest.c_str()), 0);
  ASSERT_TRUE(platform::posix::ComDevicePath(1, path));
  EXPECT_EQ(std::string(path), longest);
  EXPECT_EQ(KXSetComDevice(1, nullptr), 0);
}

TEST(KXSetComDevice, RefusesBadPortsAndOverlongPathsAndSaysWhy) {
  ResetProcessState();
  EXPECT_EQ(KXSetComDevice(7, "/dev/ttyUSB1"), 0);
  EXPECT_EQ(KXSetComDevice(0, "/dev/ttyUSB0"), -12);
  EXPECT_EQ(Utf8(ErrorText), "KXSetComDevice 端口号 0 超出范围(1-255)");
  EXPECT_EQ(KXSetComDevice(256, "/dev/ttyUSB0"), -12);
  EXPECT_EQ(KXSetComDevice(-1, nullptr), -12);
  const std::string tooLong(256, 'p');
  EXPECT_EQ(KXSetComDevice(7, tooLong.c_str()), -12);
  EXPECT_EQ(Utf8(ErrorText), "KXSetComDevice 设备路径超过255字节");
  // A refused call changes no mapping.
  char path[kMaxDevicePathLength + 1];
  ASSERT_TRUE(platform::posix::ComDevicePath(7, path));
  EXPECT_STREQ(path, "/dev/ttyUSB1");
  EXPECT_EQ(KXSetComDevice(7, nullptr), 0);
  ResetProcessState();
}

}  // namespace
}  // namespace kx::test
