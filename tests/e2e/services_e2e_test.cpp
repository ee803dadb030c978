// End-to-end: the all-in-one exports of the shipped library finding kx-sim
// on a COM port they have to search for, a write that kx-sim saves to its
// profile and loads again, kxcard reading the cardholder's items by name,
// and kxcard rewriting the card's identity and locking an application in a
// saved profile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
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
using PowerOffFn = int (*)(int);
using ReadInfoAioFn = int (*)(const char*, const char*, int, unsigned char*);
using UpdateInfoAioFn = int (*)(const char*, const char*, int, const unsigned char*);

constexpr const char* kNoDevice = "/dev/kx-no-such-tty";

class AllInOneEndToEnd : public kx::test::LibraryTest {
 protected:
  // Every COM port the tests touched back to its default device.
  void TearDown() override {
    for (int port = 1; port <= 12; ++port) Map(port, nullptr);
  }
  int Map(int port, const char* path) {
    return lib.Get<SetComDeviceFn>("KXSetComDevice")(port, path);
  }
};

TEST_F(AllInOneEndToEnd, TheSearchFindsTheReaderPastTheRememberedPort) {
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  // COM4 is remembered and has nothing behind it, nor has any port below
  // COM9, where the reader sits.
  for (int port = 1; port <= 8; ++port) ASSERT_EQ(Map(port, kNoDevice), 0);
  ASSERT_EQ(Map(9, sim.path().c_str()), 0);
  EXPECT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(4, 9600), -2);

  unsigned char out[128];
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(lib.Get<ReadInfoAioFn>("KXReadInfoAIO")("3F00", "EF05", 0, out), 0) << Message(-12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 86),
            "330329D15600000500006074BD3D5A3F"
            "1"
            "2.00"
            "330329100001000000000001"
            "20120101"
            "20220101"
            "K12345678");
  EXPECT_EQ(out[86], 0xEE);
}

// A write through the library reaches kx-sim's profile file; a new kx-sim
// started from that file reads it back.
TEST_F(AllInOneEndToEnd, AWriteIsSavedToTheProfileAndLoadedFromIt) {
  char dir[] = "/tmp/kx-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string profile = std::string(dir) + "/card.profile";
  const std::string name = Gbk("李四");
  unsigned char value[30] = {};
  std::memcpy(value, name.data(), name.size());
  {
    SimProcess sim("--save " + profile);
    ASSERT_FALSE(sim.path().empty());
    ASSERT_EQ(Map(1, sim.path().c_str()), 0);
    ASSERT_EQ(lib.Get<ReaderInitTestFn>("KXReaderInitTest")(1, 9600), 0);
    lib.Get<PowerOffFn>("KXReaderPowerOff")(0);
    ASSERT_EQ(lib.Get<UpdateInfoAioFn>("KXUpdateInfoAIO")("3F00", "EF06", 2, value), 0)
        << Message(-12);
  }
  SimProcess sim("--profile " + profile);
  ASSERT_FALSE(sim.path().empty());
  ASSERT_EQ(Map(1, sim.path().c_str()), 0);
  unsigned char out[64] = {};
  ASSERT_EQ(lib.Get<ReadInfoAioFn>("testKXReadInfoAIO")("3F00", "EF06", 2, out), 0) << Message(-12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 30),
            std::string(reinterpret_cast<char*>(value), 30));
  std::remove(profile.c_str());
  rmdir(dir);
}

TEST(KxcardItems, ReadPrintsEveryItemByNameInUtf8) {
  const std::string kxcard = std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH;
  std::string out;
  ASSERT_EQ(RunCommand(kxcard + " read 3F00 EF05 --sim", &out), 0) << out;
  for (const char* line : {"卡的识别码: 330329D15600000500006074BD3D5A3F\n", "卡的类别: 1\n",
                           "规范版本: 2.00\n", "初始化机构编号: 330329100001000000000001\n",
                           "发卡日期: 20120101\n", "卡有效期: 20220101\n", "卡号: K12345678\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  }

  // A PIN-guarded item, the cardholder's name, and the same as JSON.
  out.clear();
  ASSERT_EQ(RunCommand(kxcard + " read DF01 EF05 2 --pin 123456 --sim", &out), 0) << out;
  EXPECT_NE(out.find("常住户口所在地地址: 浙江省温州市泰顺县示范镇幸福路1号\n"), std::string::npos)
      << out;
  out.clear();
  ASSERT_EQ(RunCommand(kxcard + " read 3F00 EF06 2 --json --sim 2>/dev/null", &out), 0) << out;
  EXPECT_EQ(out,
            "{\"directory\": \"3F00\", \"file\": \"EF06\", \"items\": ["
            "{\"record\": 2, \"name\": \"姓名\", \"value\": \"张三\"}]}\n");

  // Without the PIN the card refuses, and kxcard says so.
  out.clear();
  EXPECT_EQ(RunCommand(kxcard + " read DF01 EF05 2 --pin 654321 --sim 2>&1", &out), 1) << out;
  EXPECT_NE(out.find("KXReadInfoAIO failed"), std::string::npos) << out;
}

// The rewritten code's check bytes are checked by kx-sim's own computation;
// the lock survives in the saved profile.
TEST(KxcardIdentity, RewriteAndLockLastInTheSavedProfile) {
  char dir[] = "/tmp/kx-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string profile = std::string(dir) + "/card.profile";
  const std::string kxcard = std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH;
  const std::string saving = " --sim --sim-args '--save " + profile + "'";
  const std::string loading =
      " --sim --sim-args '--profile " + profile + " --save " + profile + "'";
  std::string out;
  ASSERT_EQ(RunCommand(kxcard + " set-id 330329 12345678 --yes" + saving, &out), 0) << out;
  const std::string written = "identification code written: ";
  const std::size_t at = out.find(written);
  ASSERT_NE(at, std::string::npos) << out;
  const std::string code = out.substr(at + written.size(), 32);
  EXPECT_EQ(code.substr(0, 24), "330329D15600000512345678");
  out.clear();
  EXPECT_EQ(
      RunCommand(std::string(KX_SIM_PATH) + " --profile " + profile + " --check-bytes " + code,
                 &out),
      0)
      << code << ": " << out;

  // Not confirmed: nothing changes.
  out.clear();
  EXPECT_EQ(RunCommand("echo no | " + kxcard + " set-id 330329 00000000" + loading + " 2>&1", &out),
            2);
  out.clear();
  ASSERT_EQ(RunCommand(kxcard + " id --json" + loading + " 2>/dev/null", &out), 0) << out;
  EXPECT_NE(out.find("\"identificationCode\": \"" + code + "\""), std::string::npos) << out;

  out.clear();
  ASSERT_EQ(RunCommand(kxcard + " lock-app DF03 --yes" + loading, &out), 0) << out;
  out.clear();
  EXPECT_EQ(RunCommand(kxcard + " read DF03 EF06 1 --pin 123456" + loading + " 2>&1", &out), 1)
      << out;
  EXPECT_NE(out.find("sw返回 6a81"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunCommand(kxcard + " read DF01 EF05 1 --pin 123456" + loading, &out), 0) << out;
  std::remove(profile.c_str());
  rmdir(dir);
}

}  // namespace
