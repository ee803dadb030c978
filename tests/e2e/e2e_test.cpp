// End-to-end: the shipped shared library, loaded with dlopen and called
// through its C ABI, and the kxcard tool, both against kx-sim on a real
// pseudo-terminal through the POSIX serial code.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "tests/support/gbk.h"

namespace {

using kx::test::Gbk;
using kx::test::Library;
using kx::test::RunCommand;
using kx::test::SimProcess;

using SetComDeviceFn = int (*)(int, const char*);
using ReaderInitTestFn = int (*)(int, int);
using ReaderInitFn = int (*)(int*, unsigned*);
using ReaderStatusFn = int (*)(int, char*);
using PowerOffFn = int (*)(int);
using ReaderInfoFn = int (*)(int, char*, char*);
using ErrMessageFn = int (*)(int, char*);
using SelectIfdFn = int (*)(int, int);
using CpuResetFn = int (*)(int, char*);
using RunApduFn = int (*)(int, int, const unsigned char*, int*, unsigned char*);
using PsamIdFn = int (*)(int, char*);

using EndToEnd = kx::test::LibraryTest;

TEST_F(EndToEnd, ReaderOverPseudoTerminal) {
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(lib.Get<SetComDeviceFn>("KXSetComDevice")(5, sim.path().c_str()), 0);

  int params[2] = {5, 9600};
  unsigned handle = 0;
  ASSERT_EQ(lib.Get<ReaderInitFn>("KXReaderInit")(params, &handle), 0) << Message(-12);
  EXPECT_NE(handle, 0u);

  char model[32] = {}, version[32] = {};
  EXPECT_EQ(lib.Get<ReaderInfoFn>("GetReaderInfo")(0, model, version), 0);
  EXPECT_STREQ(model, "TXR-7700");
  EXPECT_STREQ(version, "20111201040014");

  char status = 0;
  EXPECT_EQ(lib.Get<ReaderStatusFn>("GetReaderStatus")(0, &status), 0);
  EXPECT_EQ(status, '2');
  EXPECT_EQ(lib.Get<PowerOffFn>("KXReaderPowerOff")(0), 0);
  // After the power-off the link is closed: the next status query has no port.
  EXPECT_EQ(lib.Get<ReaderStatusFn>("GetReaderStatus")(0, &status), -2);
}

TEST_F(EndToEnd, SilentReaderTimesOutWithItsMessage) {
  SimProcess sim("--silent");
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(lib.Get<SetComDeviceFn>("KXSetComDevice")(6, sim.path().c_str()), 0);
  ASSERT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(6, 9600), 0);
  char status = 0;
  EXPECT_EQ(lib.Get<ReaderStatusFn>("GetReaderStatus")(0, &status), -4);
  EXPECT_EQ(status, '0');
  EXPECT_EQ(Message(-4), Gbk("通讯错误"));
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n接收数据失败，返回：-4"));
  // A power-off would wait out another time-out; re-initialising closes the link.
}

TEST_F(EndToEnd, PsamIdAndOneApdu) {
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(lib.Get<SetComDeviceFn>("KXSetComDevice")(7, sim.path().c_str()), 0);
  ASSERT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(7, 9600), 0);

  char psamId[64] = {};
  ASSERT_EQ(lib.Get<PsamIdFn>("KXGetPsamID")(0, psamId), 0) << Message(-12);
  EXPECT_EQ(std::strlen(psamId), 12u);

  ASSERT_EQ(lib.Get<SelectIfdFn>("KXSelectIFD")(0, 12), 0);
  char atr[201] = {};
  ASSERT_EQ(lib.Get<CpuResetFn>("KXCpuReset")(0, atr), 0);
  EXPECT_GE(std::strlen(atr), 2u * 17);
  const unsigned char challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  unsigned char reply[300] = {};
  int length = 0;
  EXPECT_EQ(lib.Get<RunApduFn>("KXRunApdu")(0, 5, challenge, &length, reply), 0);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(reply[8], 0x90);
  EXPECT_EQ(reply[9], 0x00);
  lib.Get<PowerOffFn>("KXReaderPowerOff")(0);
}

TEST(Kxcard, ReaderWithItsOwnSimulator) {
  std::string out;
  const int rc =
      RunCommand(std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH + " reader --sim", &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("TXR-7700"), std::string::npos) << out;
  EXPECT_NE(out.find("20111201040014"), std::string::npos) << out;
  EXPECT_NE(out.find("status:  2"), std::string::npos) << out;
  EXPECT_NE(out.find("ATR:"), std::string::npos) << out;
}

TEST(Kxcard, ErrmsgPrintsUtf8AndFailuresExitNonZero) {
  std::string out;
  EXPECT_EQ(RunCommand(std::string(KXCARD_PATH) + " errmsg -4", &out), 0);
  EXPECT_EQ(out, "通讯错误\n");

  out.clear();
  // A port mapped to a device that does not exist: the open fails, and the
  // failure (on stderr) names the device and the system's reason.
  EXPECT_EQ(RunCommand(std::string(KXCARD_PATH) +
                           " reader --port 9 --device /dev/kx-no-such-tty 2>&1 >/dev/null",
                       &out),
            1);
  EXPECT_NE(out.find("KXReaderInit failed: -2\n打开读写器端口错误\n"), std::string::npos) << out;
  EXPECT_NE(out.find("COM9 (/dev/kx-no-such-tty): cannot open /dev/kx-no-such-tty: No such file "
                     "or directory"),
            std::string::npos)
      << out;

  out.clear();
  EXPECT_EQ(RunCommand(std::string(KXCARD_PATH) + " frobnicate 2>/dev/null", &out), 2);
}

TEST(Kxcard, PinCommandsAgainstTheSimulator) {
  const std::string kxcard = std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH;
  struct Case {
    std::string args;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {"verify-pin 123456 --sim", 0, "KXCardVerifyPIN: accepted"},
      {"verify-pin 111111 --sim", 1, "PIN refused, 2 tries left"},
      {"change-pin 123456 654321 --sim", 0, "KXCardChangePIN: accepted"},
      {"change-pin 123456 65432 --sim", 2, "6 digits each"},
      {"verify-pin --usb --sim", 2, "serial line only"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunCommand(kxcard + " " + c.args + " 2>&1", &out), c.rc) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
  }
}

TEST(Kxcard, ReadPinWithoutAPadFailsAtOnce) {
  // A PIN pad on this machine would wait for someone to type.
  std::error_code error;
  if (!std::filesystem::is_empty("/sys/class/hidraw", error) && !error) {
    GTEST_SKIP() << "HID devices are attached";
  }
  std::string out;
  EXPECT_EQ(RunCommand(std::string(KXCARD_PATH) + " read-pin 2>&1", &out), 1);
  EXPECT_NE(out.find("KXReadPassword failed: -2"), std::string::npos) << out;
}

}  // namespace
