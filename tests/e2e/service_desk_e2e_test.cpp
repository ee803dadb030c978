// End-to-end, as a service desk meets the library: the diagnostic build's
// trace file, and kxcard telling the truth about ports that do not open or
// do not answer, and running a script in one reader session.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "KX_ICCReader.h"
#include "tests/e2e/e2e_support.h"

namespace {

using kx::test::RunCommand;
using kx::test::SimProcess;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string TempPath(const char* name) {
  return std::string(::testing::TempDir()) + "kx-" + std::to_string(getpid()) + "-" + name;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The diagnostic build reads KX_TRACE when it is loaded.
TEST(DiagnosticTrace, AVerifyLeavesNoPinDigitInTheTraceFile) {
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  const std::string trace = TempPath("verify.trace");
  std::remove(trace.c_str());
  setenv("KX_TRACE", trace.c_str(), 1);
  void* lib = dlopen(KX_DIAG_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  unsetenv("KX_TRACE");
  ASSERT_NE(lib, nullptr) << dlerror();
  auto get = [lib](const char* name) { return dlsym(lib, name); };
  reinterpret_cast<int (*)(int, const char*)>(get("KXSetComDevice"))(3, sim.path().c_str());
  ASSERT_EQ(reinterpret_cast<int (*)(int, int)>(get("KXReaderInitTest"))(3, 9600), 0);
  reinterpret_cast<int (*)(int, int)>(get("KXSelectIFD"))(0, 12);
  char atr[KX_RESET_ANSWER_HEX_SIZE] = {};
  ASSERT_EQ(reinterpret_cast<int (*)(int, char*)>(get("KXCpuReset"))(0, atr), 0);
  const auto verify = reinterpret_cast<int (*)(int, const char*, int*)>(get("KXCardVerifyPIN"));
  int tries = -1;
  EXPECT_EQ(verify(0, "975318", &tries), -11);  // a wrong PIN: kx-sim's is 123456
  EXPECT_EQ(verify(0, "123456", &tries), 0);
  reinterpret_cast<int (*)(int)>(get("KXReaderPowerOff"))(0);
  dlclose(lib);

  const std::string text = ReadFile(trace);
  EXPECT_NE(text.find("export KXCardVerifyPIN = -11"), std::string::npos) << text;
  EXPECT_NE(text.find("apdu slot 0 > 00 20 00 00 03 ** ** ** < SW 9000"), std::string::npos)
      << text;
  for (const char* pin :
       {"975318", "97 53 18", "393735333138", "123456", "12 34 56", "313233343536"}) {
    EXPECT_EQ(text.find(pin), std::string::npos) << pin << " in\n" << text;
  }
  std::remove(trace.c_str());
}

TEST(KxcardHonesty, AReaderThatDoesNotAnswerGetsNoModelOrVersion) {
  // A pseudo-terminal nobody answers on.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string silent = ptsname(master);
  const std::string errors = TempPath("reader.err");
  std::string out;
  EXPECT_EQ(
      RunCommand(std::string(KXCARD_PATH) + " reader --port 7 --device " + silent + " 2>" + errors,
                 &out),
      1);
  close(master);
  const std::string err = ReadFile(errors);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.find("TXR-7700"), std::string::npos) << err;
  EXPECT_EQ(err.find("model"), std::string::npos) << err;
  EXPECT_NE(err.find("no reader answered on COM7 (" + silent + ")"), std::string::npos) << err;
  std::remove(errors.c_str());
}

TEST(KxcardScript, RunsInOneSessionAndStopsAtTheFirstUnexpectedStatus) {
  const std::string script = TempPath("card.apdu");
  std::ofstream(script) << "# twenty lines: both cards, then a status that is not expected\n"
                           "00A40000023F00\n"
                           "00A4020002EF05 9000\n"
                           "00B2010400        # the identification code's record\n"
                           "0084000008 9000\n"
                           "0084000004\n"
                           "@psam\n"
                           "00A40000023F00\n"
                           "00A40000020016\n"
                           "00B0000006 9000\n"
                           "@user\n"
                           "00A40000023F00 90XX\n"
                           "0020000003123456  # the cardholder PIN\n"
                           "00A4020002EF06\n"
                           "00B2020400 9000\n"
                           "0084000008\n"
                           "00A4000002DF01\n"
                           "00A40000023F00\n"
                           "00A4020002EF99 9000\n"
                           "0084000008\n";
  const std::string kxcard = std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH;
  const std::string trace = TempPath("script.trace");
  std::string out;
  EXPECT_EQ(RunCommand(kxcard + " -v script " + script + " --sim 2>" + trace, &out), 1) << out;
  const std::string err = ReadFile(trace);
  EXPECT_NE(err.find("script stopped at line 19: expected SW 9000, got 6A82"), std::string::npos)
      << err;
  EXPECT_NE(out.find("10 psam < 330329000001  SW 9000"), std::string::npos) << out;
  EXPECT_EQ(out.find("20 user"), std::string::npos) << out;
  // One session: the user card and the PSAM are powered on once each.
  EXPECT_EQ(Count(err, "frame > power on slot 0:"), 1u) << err;
  EXPECT_EQ(Count(err, "frame > power on slot 16:"), 1u) << err;
  EXPECT_EQ(err.find("123456"), std::string::npos) << err;
  EXPECT_EQ(out.find("123456"), std::string::npos) << out;

  // A line that is no APDU stops the script before the reader is opened.
  std::ofstream(script) << "00A40000023F00\nhello\n";
  out.clear();
  EXPECT_EQ(RunCommand(kxcard + " script " + script + " --sim 2>&1", &out), 2) << out;
  EXPECT_NE(out.find("line 2:"), std::string::npos) << out;
  std::remove(script.c_str());
  std::remove(trace.c_str());
}

TEST(KxcardScan, TellsWhereAReaderAnswersAndWhichCardsAreIn) {
  const std::string kxcard = std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH;
  std::string out;
  ASSERT_EQ(
      RunCommand(kxcard + " scan --port 12 --sim --sim-args --no-psam --json 2>/dev/null", &out), 0)
      << out;
  EXPECT_NE(out.find("{\"port\": \"COM12 (/dev/pts/"), std::string::npos) << out;
  EXPECT_NE(out.find("\"opened\": true, \"reader\": true, \"userCard\": true, \"psam\": false"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("{\"port\": \"USB\""), std::string::npos) << out;
}

}  // namespace
