// The simulator served on a pseudo-terminal, with a host on the other side
// that uses nothing but open, read and write.
#include "sim/pty_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/card.h"
#include "sim/frame_codec.h"
#include "sim/reader.h"
#include "sim/reply_schedule.h"

namespace kx::sim {
namespace {

// ---------------------------------------------------------------- server

// The host side: a plain descriptor on the slave device.
class Host {
 public:
  explicit Host(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~Host() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Everything up to and including the first ETX, or what came within 2 s.
  Bytes ReadReply() {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
      for (std::uint8_t b : got) {
        if (b == kEtx) return got;
      }
    }
    return got;
  }

 private:
  int fd_;
};

const Bytes kAtr = {0x3B, 0x6D, 0x00, 0x00, 0x11, 0x22};
const Bytes kPowerOn0 = {0x32, 0x22, 0x00, 0x00, 0x00};

class SimPty : public ::testing::Test {
 protected:
  void SetUp() override {
    reader.Insert(kSlotContact, std::make_shared<FixedStatusCard>(kAtr));
    std::string error;
    ASSERT_TRUE(server.Open(&error)) << error;
    ASSERT_FALSE(server.SlavePath().empty());
  }
  void Start() {
    thread = std::thread([this] { reason = server.Serve(); });
  }
  void TearDown() override {
    if (thread.joinable()) Stop();
  }
  PtyServer::StopReason Stop() {
    server.RequestStop();
    thread.join();
    return reason;
  }

  Reader reader;
  PtyServer server{reader};
  std::thread thread;
  PtyServer::StopReason reason = PtyServer::StopReason::kError;
};

TEST_F(SimPty, SlaveIsARawTerminalFromTheStart) {
  Host host(server.SlavePath());
  ASSERT_TRUE(host.ok());
  EXPECT_TRUE(isatty(host.fd()));
  termios tio{};
  ASSERT_EQ(tcgetattr(host.fd(), &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SimPty, PowerOnOverTheLine) {
  Start();
  Host host(server.SlavePath());
  ASSERT_TRUE(host.ok());
  Bytes wire = {0x1B, 0x25, 0x49, 0x34};
  const Bytes frame = EncodeCommandFrame(kPowerOn0);
  wire.insert(wire.end(), frame.begin(), frame.end());
  host.Write(wire);
  EXPECT_EQ(host.ReadReply(), EncodeReplyFrame(kStatusOk, kAtr));
  EXPECT_EQ(Stop(), PtyServer::StopReason::kRequested);
  // Nothing of the reply came back to the reader as if the host had sent it.
  EXPECT_EQ(reader.TraceText(),
            "CTRL 1B 25 49 34 (ESC %I4)\n"
            "CMD 32 22 00 00 00 (power on 0)\n"
            "RPL 0000 3B 6D 00 00 11 22\n");
}

TEST_F(SimPty, HostMayCloseAndReopenTheDevice) {
  Start();
  for (int session = 0; session < 3; ++session) {
    Host host(server.SlavePath());
    ASSERT_TRUE(host.ok()) << "session " << session;
    host.Write(EncodeCommandFrame(kPowerOn0));
    EXPECT_EQ(host.ReadReply(), EncodeReplyFrame(kStatusOk, kAtr)) << "session " << session;
  }
  EXPECT_EQ(Stop(), PtyServer::StopReason::kRequested);
  EXPECT_EQ(reader.Commands().size(), 3u);
}

TEST_F(SimPty, SplitAndDelayedReplyArrivesWhole) {
  reader.faults().delayMs = 20;
  reader.faults().splitInto = 4;
  reader.faults().splitGapMs = 5;
  Start();
  Host host(server.SlavePath());
  host.Write(EncodeCommandFrame(kPowerOn0));
  EXPECT_EQ(host.ReadReply(), EncodeReplyFrame(kStatusOk, kAtr));
}

// A paced line is never faster than its baud rate, and hands the reply
// over in bursts rather than all at once.
TEST_F(SimPty, APacedLineTakesTenBitTimesAByteAndTheCardsTime) {
  server.SetBaud(2400);
  reader.SetTiming({.commandMs = 20, .cryptoMs = 20});
  Start();
  Host host(server.SlavePath());
  const Bytes command = EncodeCommandFrame(kPowerOn0);
  const Bytes expected = EncodeReplyFrame(kStatusOk, kAtr);
  const auto start = std::chrono::steady_clock::now();
  host.Write(command);
  Bytes got;
  int reads = 0;
  while (got.size() < expected.size()) {
    pollfd p{host.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    std::uint8_t buffer[64];
    const ssize_t n = read(host.fd(), buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    got.insert(got.end(), buffer, buffer + n);
    ++reads;
  }
  const auto tookUs = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  EXPECT_EQ(got, expected);
  EXPECT_GE(static_cast<std::uint64_t>(tookUs),
            LineTimeUs(command.size() + expected.size(), 2400) + 20000);
  EXPECT_GT(reads, 1);
}

TEST_F(SimPty, ControlCharactersPassUntouched) {
  // Bytes a cooked terminal would translate, swallow or act on.
  const Bytes controls = {0x0D, 0x0A, 0x04, 0x7F, 0x11, 0x13, 0x15, 0x17, 0x1A, 0x0F};
  reader.faults().garbageBeforeStx = controls;
  Start();
  Host host(server.SlavePath());
  host.Write(EncodeCommandFrame(kPowerOn0));
  Bytes expected = controls;
  const Bytes frame = EncodeReplyFrame(kStatusOk, kAtr);
  expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(host.ReadReply(), expected);
}

TEST_F(SimPty, SilentReaderLeavesTheHostWaiting) {
  reader.faults().silent = true;
  reader.faults().remaining = 1;
  Start();
  Host host(server.SlavePath());
  host.Write(EncodeCommandFrame(kPowerOn0));
  pollfd p{host.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 100), 0);
  host.Write(EncodeCommandFrame(kPowerOn0));
  EXPECT_EQ(host.ReadReply(), EncodeReplyFrame(kStatusOk, kAtr));
}

TEST_F(SimPty, IdleLimitEndsServing) {
  server.SetIdleLimitMs(20);
  EXPECT_EQ(server.Serve(), PtyServer::StopReason::kIdle);
}

TEST_F(SimPty, StopBeforeServingIsKept) {
  server.RequestStop();
  EXPECT_EQ(server.Serve(), PtyServer::StopReason::kRequested);
}

TEST(SimPtyUnopened, ServeWithoutAPseudoTerminalFails) {
  Reader reader;
  PtyServer server(reader);
  EXPECT_EQ(server.Serve(), PtyServer::StopReason::kError);
}

TEST_F(SimPty, AfterInputRunsOnceABatchWasFed) {
  std::atomic<int> batches = 0;
  std::atomic<std::size_t> traced = 0;
  server.SetAfterInput([&] {
    ++batches;
    traced = reader.trace().size();
  });
  Start();
  Host host(server.SlavePath());
  host.Write(EncodeCommandFrame(kPowerOn0));
  host.ReadReply();
  Stop();
  EXPECT_GE(batches, 1);
  EXPECT_EQ(traced, 2u) << "the callback sees the command and its reply";
}

TEST_F(SimPty, LinesAreDeliveredWholeAndEndOfInputKeepsServing) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string input = "remove 0\r\ninsert 0\nlong";
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ASSERT_EQ(write(fds[1], " line\n", 6), 6);
  close(fds[1]);

  std::vector<std::string> lines;
  std::atomic<bool> allLines = false;
  server.WatchLines(fds[0], [&](const std::string& line) {
    lines.push_back(line);
    if (lines.size() == 3) allLines = true;
  });
  Start();
  for (int i = 0; i < 200 && !allLines; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(allLines);
  Host host(server.SlavePath());
  host.Write(EncodeCommandFrame(kPowerOn0));
  EXPECT_EQ(host.ReadReply(), EncodeReplyFrame(kStatusOk, kAtr));
  Stop();
  close(fds[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"remove 0", "insert 0", "long line"}));
}

}  // namespace
}  // namespace kx::sim
