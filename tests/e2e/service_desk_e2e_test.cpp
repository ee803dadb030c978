// End-to-end, as a service desk meets the library: the diagnostic build's
// trace file, and kxcard telling the truth about ports that do not open or
// do not answer, running a script in one reader session, never presenting
// a PIN nobody typed, and keeping its streams fit for a script.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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

// A kxcard run: its exit status, stdout and stderr.
struct KxcardRun {
  int rc = -1;
  std::string out;
  std::string err;
};

KxcardRun Kxcard(const std::string& args, const std::string& stdinFrom = "/dev/null") {
  const std::string errors = TempPath("kxcard.err");
  KxcardRun run;
  run.rc = RunCommand(std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH + " " + args + " <" +
                          stdinFrom + " 2>" + errors,
                      &run.out);
  run.err = ReadFile(errors);
  std::remove(errors.c_str());
  return run;
}

bool NoPinPad() {
  std::error_code error;
  return std::filesystem::is_empty("/sys/class/hidraw", error) || error;
}

// Each row: the arguments, the exit status, a text stdout holds, a text
// stderr holds, and how many lines stderr has (-1: any).
TEST(KxcardStreams, UsageJsonAndStreamsAsAScriptNeedsThem) {
  const std::string badScript = TempPath("bad.apdu");
  std::ofstream(badScript) << "00A40000023F00\nhello\n";
  struct Case {
    std::string args;
    int rc;
    const char* out;
    const char* err;
    int errLines;
  };
  const Case cases[] = {
      {"--port 0 reader", 2, "", "kxcard: --port 0: the port is 1 to 99, or 100 for USB", 1},
      {"--port 300 reader", 2, "", "--port 300: the port is 1 to 99", 1},
      {"--port COM3 reader", 2, "", "--port: not a number: COM3", 1},
      {"frobnicate", 2, "", "kxcard: unknown command frobnicate", 1},
      {"--json --port 0 reader", 2, "", "{\"error\": {\"usage\": \"--port 0: the port", 1},
      {"script " + badScript + " --json --sim", 2, "", "{\"error\": {\"usage\": \"line 2:", 1},
      {"read DF01 EF05 2 --pin 654321 --json --sim", 1, "",
       "{\"error\": {\"call\": \"KXReadInfoAIO\", \"code\": -", 1},
      // The map, with no reader: the names of the items and what a read asks for.
      {"files 3F00 EF05", 0, "3F00 EF05  records\n  read:  free\n  write: key UKMF\n    1  tag 01",
       "", 0},
      {"files DF0B EF0C", 0, "read:  key RK1DF0B", "", 0},
      {"files DF01", 0, "DF01 EF0A", "", 0},
      {"files DF05", 1, "", "the card's map has no file DF05", 1},
      // The reader tells whether a PSAM is in; a scan shows no progress
      // line ("\r") on a stderr that is no terminal.
      {"reader --sim", 0, "PSAM:    in", "kx-sim:  simulated reader on", 1},
      {"reader --sim --sim-args --no-psam --json", 0, "\"psam\": false}\n", "", 0},
      {"scan --port 12 --sim", 0, "COM12 (/dev/pts/", "kx-sim:  simulated reader on", 1},
  };
  for (const Case& c : cases) {
    const KxcardRun run = Kxcard(c.args);
    EXPECT_EQ(run.rc, c.rc) << c.args << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.args << "\n" << run.out;
    if (*c.out == '\0') {
      EXPECT_EQ(run.out, "") << c.args;
    }
    EXPECT_NE(run.err.find(c.err), std::string::npos) << c.args << "\n" << run.err;
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << c.args << "\n" << run.err;
    if (c.errLines >= 0) {
      EXPECT_EQ(Count(run.err, "\n"), std::size_t(c.errLines)) << c.args << "\n" << run.err;
    }
  }
  std::remove(badScript.c_str());

  // `files --json` is the guide's map, line for line.
  EXPECT_EQ(Kxcard("files --json").out, ReadFile(KX_SOURCE_DIR "/docs/card-map.jsonl"));
}

TEST(KxcardStreams, AFailureComesAfterTheStepsBeforeItOnOneStream) {
  const std::string script = TempPath("stop.apdu");
  std::ofstream(script) << "00A40000023F00\n00A4020002EF05\n00A4020002EF99\n0084000008\n";
  std::string out;
  EXPECT_EQ(RunCommand(std::string("KX_SIM=") + KX_SIM_PATH + " " + KXCARD_PATH + " script " +
                           script + " --sim 2>&1",
                       &out),
            1);
  const std::size_t step = out.find("3 user < SW 6A82");
  const std::size_t stop = out.find("script stopped at line 3");
  ASSERT_NE(step, std::string::npos) << out;
  ASSERT_NE(stop, std::string::npos) << out;
  EXPECT_LT(step, stop) << out;
  std::remove(script.c_str());
}

TEST(KxcardStreams, ScanWithNothingFoundSaysSoInJson) {
  std::error_code error;
  int serial = 0;
  for (const auto& e : std::filesystem::directory_iterator("/dev", error)) {
    if (e.path().filename().string().rfind("ttyS", 0) == 0) ++serial;
  }
  if (serial > 4) GTEST_SKIP() << serial << " serial ports would each wait for a reader";
  const KxcardRun run = Kxcard("scan --json --port 7 --device /dev/kx-no-such-tty");
  EXPECT_EQ(run.rc, 1);
  EXPECT_NE(run.out.find("{\"readers\": 0, \"ports\": [{\"port\": \"COM7 (/dev/kx-no-such-tty)\""),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "{\"error\": {\"message\": \"no reader found\"}}\n");
}

// Without --pin, with no terminal to type on and no PIN pad, a PIN-guarded
// read stops before the card is asked: the card still has all its tries.
TEST(KxcardPin, APinGuardedReadWithoutAPinLeavesTheTryCounterAlone) {
  if (!NoPinPad()) GTEST_SKIP() << "HID devices are attached";
  SimProcess sim;
  ASSERT_FALSE(sim.path().empty());
  const std::string port = " --port 6 --device " + sim.path();
  for (const char* read :
       {"read DF01 EF05 2", "read DF03 EF06", "set-pin 000000 read 3F00 EF05 1"}) {
    const KxcardRun run = Kxcard(read + port);
    if (std::string(read).rfind("set-pin", 0) == 0) {
      EXPECT_EQ(run.rc, 0) << run.err;  // a free read asks for no PIN
      continue;
    }
    EXPECT_EQ(run.rc, 1) << read << "\n" << run.err;
    EXPECT_EQ(run.out, "") << read;
    EXPECT_EQ(run.err, "KXReadPassword failed: -2\nPIN pad not found\n") << read;
  }
  const KxcardRun verify = Kxcard("verify-pin 111111" + port);
  EXPECT_EQ(verify.rc, 1);
  EXPECT_NE(verify.err.find("PIN refused, 2 tries left"), std::string::npos) << verify.err;
  EXPECT_EQ(Kxcard("verify-pin 123456" + port).rc, 0);

  // On a terminal it asks there, and the PIN typed opens the item.
  if (std::system("command -v script >/dev/null") != 0) return;
  std::string out;
  EXPECT_EQ(RunCommand("(sleep 1; printf '123456\\n') | script -qec '" + std::string(KXCARD_PATH) +
                           " read DF01 EF05 2" + port + "' /dev/null",
                       &out),
            0);
  EXPECT_NE(out.find("PIN for DF01 EF05 (not shown): "), std::string::npos) << out;
  EXPECT_NE(out.find("常住户口所在地地址: 浙江省"), std::string::npos) << out;
}

// A refused open names the group that opens serial ports, not a source path.
TEST(KxcardHonesty, ARefusedOpenNamesTheGroupToJoin) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run kxcard as another user";
  const std::string device = TempPath("locked-tty");
  std::ofstream(device) << "";
  chmod(device.c_str(), 0600);
  std::string out;
  EXPECT_EQ(
      RunCommand("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(KXCARD_PATH) +
                     " reader --port 4 --device " + device + " 2>&1",
                 &out),
      1);
  EXPECT_NE(out.find("cannot open " + device + ": Permission denied\nhint: " + device +
                     " is for the group \"dialout\"; add yourself with: sudo usermod -aG dialout"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("packaging/"), std::string::npos) << out;
  std::remove(device.c_str());
}

}  // namespace
