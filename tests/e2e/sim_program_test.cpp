// kx-sim as a host developer runs it: a child process, its printed device,
// its options, its exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tools/child_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using kx::tools::ChildProcess;

// 0x30 + nibble digits, as the library writes them.
Bytes CommandFrame(const Bytes& body) {
  Bytes raw = {static_cast<std::uint8_t>(body.size() >> 8), static_cast<std::uint8_t>(body.size())};
  std::uint8_t check = 0;
  for (std::uint8_t b : body) check ^= b;
  raw.insert(raw.end(), body.begin(), body.end());
  raw.push_back(check);
  Bytes frame = {0x02};
  for (std::uint8_t b : raw) {
    frame.push_back(static_cast<std::uint8_t>(0x30 + (b >> 4)));
    frame.push_back(static_cast<std::uint8_t>(0x30 + (b & 0x0F)));
  }
  frame.push_back(0x03);
  return frame;
}

struct Reply {
  int status = -1;
  Bytes data;
};

Reply DecodeReply(const Bytes& wire) {
  Reply r;
  std::size_t i = 0;
  while (i < wire.size() && wire[i] != 0x02) ++i;
  Bytes raw;
  for (++i; i + 1 < wire.size() && wire[i] != 0x03; i += 2) {
    raw.push_back(static_cast<std::uint8_t>((wire[i] - 0x30) << 4 | (wire[i + 1] - 0x30)));
  }
  if (raw.size() < 5) return r;
  r.status = raw[2] << 8 | raw[3];
  r.data.assign(raw.begin() + 4, raw.end() - 1);
  return r;
}

// kx-sim with its three standard streams piped to the test.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), KX_SIM_PATH);
    std::string error;
    EXPECT_TRUE(process_.Start(
        args, ChildProcess::kStdin | ChildProcess::kStdout | ChildProcess::kStderr, &error))
        << error;
  }
  std::string Line() { return process_.ReadLine(ChildProcess::kStdout, 3000); }
  std::string ErrLine() { return process_.ReadLine(ChildProcess::kStderr, 3000); }
  std::string AllOut() { return process_.ReadAll(ChildProcess::kStdout, 3000); }
  std::string AllErr() { return process_.ReadAll(ChildProcess::kStderr, 3000); }
  void Say(const std::string& text) { ASSERT_TRUE(process_.Write(text)); }
  // Exit status after SIGTERM, or after it ended by itself when signal is 0;
  // -1 when it does not end within 3 s.
  int Stop(int signal = SIGTERM) { return process_.Stop(signal, 3000); }

 private:
  ChildProcess process_;
};

Reply Exchange(const std::string& device, const Bytes& body) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return {};
  const Bytes frame = CommandFrame(body);
  Bytes wire;
  if (write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size())) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      std::uint8_t buffer[512];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      wire.insert(wire.end(), buffer, buffer + n);
      if (wire.back() == 0x03) break;
    }
  }
  close(fd);
  return DecodeReply(wire);
}

const Bytes kPowerOnUser = {0x32, 0x22, 0x00, 0x00, 0x00};
const Bytes kPowerOnPsam = {0x32, 0x22, 0x00, 0x00, 0x10};

std::string DevicePath(const std::string& firstLine) {
  const std::string prefix = "kx-sim: reader on ";
  return firstLine.rfind(prefix, 0) == 0 ? firstLine.substr(prefix.size()) : "";
}

TEST(SimProgram, ServesBothCardsAndStopsCleanlyOnSigterm) {
  Child sim({});
  const std::string device = DevicePath(sim.Line());
  ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;

  const Reply user = Exchange(device, kPowerOnUser);
  EXPECT_EQ(user.status, 0);
  // A T=0 reset answer whose historical bytes start right after TB1 and TC1,
  // at least 13 of them, and no check byte behind them.
  ASSERT_GE(user.data.size(), 2u);
  EXPECT_EQ(user.data[0], 0x3B);
  const int historical = user.data[1] & 0x0F;
  EXPECT_GE(historical, 13);
  EXPECT_EQ(user.data[1] & 0xF0, 0x60);
  EXPECT_EQ(user.data.size(), 4u + static_cast<std::size_t>(historical));

  const Reply psam = Exchange(device, kPowerOnPsam);
  EXPECT_EQ(psam.status, 0);
  EXPECT_FALSE(psam.data.empty());
  EXPECT_NE(psam.data, user.data);
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimProgram, PathOnlyAndPathFile) {
  const std::string file = testing::TempDir() + "kx-sim-path-" + std::to_string(getpid());
  Child sim({"--print-path-only", "--path-file", file});
  const std::string device = sim.Line();
  ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
  std::ifstream in(file);
  std::string written;
  std::getline(in, written);
  EXPECT_EQ(written, device);
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0);
  EXPECT_EQ(sim.Stop(SIGINT), 0);
  EXPECT_NE(access(file.c_str(), F_OK), 0) << "the path file goes with the device";
}

TEST(SimProgram, EmptySlotsFromTheCommandLine) {
  Child sim({"--no-card", "--no-psam"});
  const std::string device = DevicePath(sim.Line());
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0x1002);
  EXPECT_EQ(Exchange(device, kPowerOnPsam).status, 0x2005);
}

TEST(SimProgram, FaultOptionsReachTheReader) {
  Child sim({"--status", "1004", "--times", "1", "--trace"});
  const std::string device = DevicePath(sim.Line());
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0x1004);
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0);
  EXPECT_EQ(sim.Stop(), 0);
  const std::string trace = sim.AllErr();
  EXPECT_NE(trace.find("CMD 32 22 00 00 00 (power on 0)\nRPL 1004 [status forced]\n"),
            std::string::npos)
      << trace;
}

TEST(SimProgram, APacedLineTracesEachEntrysShareOfTheLine) {
  Child sim({"--baud", "9600", "--card-time", "4", "--trace"});
  const std::string device = DevicePath(sim.Line());
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0);
  EXPECT_EQ(sim.Stop(), 0);
  const std::string trace = sim.AllErr();
  EXPECT_NE(trace.find("CMD 32 22 00 00 00 (power on 0) | 18 B\nRPL 0000 "), std::string::npos)
      << trace;
  EXPECT_NE(trace.find(" B after 4 ms\n"), std::string::npos) << trace;
}

TEST(SimProgram, ConsoleTakesTheCardOutAndPutsItBack) {
  Child sim({"--console"});
  const std::string device = DevicePath(sim.Line());
  sim.Say("remove 0\n");
  EXPECT_EQ(sim.ErrLine(), "kx-sim: slot 0 is empty");
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0x1002);
  sim.Say("insert 0\n");
  EXPECT_EQ(sim.ErrLine(), "kx-sim: slot 0 has a card");
  EXPECT_EQ(Exchange(device, kPowerOnUser).status, 0);
  sim.Say("quit\n");
  EXPECT_EQ(sim.Stop(0), 0);
}

TEST(SimProgram, IdleLimitEndsTheProgram) {
  Child sim({"--exit-after-idle", "0.1"});
  EXPECT_NE(DevicePath(sim.Line()), "");
  EXPECT_EQ(sim.Stop(0), 0);
}

TEST(SimProgram, HelpAndBadOptions) {
  Child help({"--help"});
  EXPECT_NE(help.AllOut().find("--exit-after-idle"), std::string::npos);
  EXPECT_EQ(help.Stop(0), 0);

  Child bad({"--split", "zero"});
  EXPECT_NE(bad.AllErr().find("--split zero"), std::string::npos);
  EXPECT_EQ(bad.Stop(0), 2);
}

}  // namespace
