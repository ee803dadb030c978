// The shipped library under a host's load and misuse, against kx-sim on a
// pseudo-terminal: calls from several threads at once, and a reader that
// goes away in the middle of a call.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/gbk.h"

namespace {

using kx::test::Gbk;
using kx::test::SimProcess;

using SetComDeviceFn = int (*)(int, const char*);
using ReaderInitTestFn = int (*)(int, int);
using ErrMessageFn = int (*)(int, char*);
using ReaderStatusFn = int (*)(int, char*);
using RunApduFn = int (*)(int, int, const unsigned char*, int*, unsigned char*);
using Clock = std::chrono::steady_clock;

constexpr unsigned char kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

using UnderLoad = kx::test::LibraryTest;

// Without the library's lock, four such threads garbled a few frames, and
// each garbled frame waited out its 5 s reply limit.
TEST_F(UnderLoad, FourThreadsOfChallengesAreAllAnswered) {
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(lib.Get<SetComDeviceFn>("KXSetComDevice")(8, sim.path().c_str()), 0);
  ASSERT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(8, 9600), 0);
  char status = 0;
  ASSERT_EQ(lib.Get<ReaderStatusFn>("GetReaderStatus")(0, &status), 0);
  const auto runApdu = lib.Get<RunApduFn>("KXRunApdu");
  const auto errMessage = lib.Get<ErrMessageFn>("KXGetErrMessage");

  constexpr int kThreads = 4;
  constexpr int kEach = 100;
  std::vector<int> answered(kThreads, 0);
  std::vector<std::string> firstFailure(kThreads);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        unsigned char reply[295] = {};
        int length = 0;
        const int code = runApdu(0, sizeof kGetChallenge, kGetChallenge, &length, reply);
        char message[545] = {};
        errMessage(-4, message);
        if (code == 0 && length == 10 && reply[8] == 0x90 && reply[9] == 0x00) {
          ++answered[static_cast<std::size_t>(t)];
        } else if (firstFailure[static_cast<std::size_t>(t)].empty()) {
          firstFailure[static_cast<std::size_t>(t)] =
              "code " + std::to_string(code) + ", length " + std::to_string(length);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(answered[static_cast<std::size_t>(t)], kEach)
        << "thread " << t << ": " << firstFailure[static_cast<std::size_t>(t)];
  }
  // One reply that went astray would have cost its whole 5 s limit.
  EXPECT_LT(seconds, 2.0);
}

// kx-sim killed while the library waits for its reply: the pseudo-terminal
// hangs up under the library, as a serial adapter pulled out of its socket.
TEST_F(UnderLoad, AReaderGoneMidCallEndsTheCallAndClosesThePort) {
  SimProcess sim("--silent");
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(lib.Get<SetComDeviceFn>("KXSetComDevice")(9, sim.path().c_str()), 0);
  ASSERT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(9, 9600), 0);
  const auto runApdu = lib.Get<RunApduFn>("KXRunApdu");

  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim.Stop(SIGKILL);
  });
  unsigned char reply[295] = {};
  int length = 0;
  auto start = Clock::now();
  EXPECT_EQ(runApdu(0, sizeof kGetChallenge, kGetChallenge, &length, reply), -2);
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  killer.join();
  EXPECT_LT(waited, 2.0);  // not the 5 s reply limit
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n接收数据失败，返回：-2"));

  start = Clock::now();
  EXPECT_EQ(runApdu(0, sizeof kGetChallenge, kGetChallenge, &length, reply), -2);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.1);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n发送数据失败"));
}

}  // namespace
