// On a line paced at a real baud rate, with cards that take their time, an
// operation takes exactly what the line, the cards and the library's own
// pauses make necessary: the lower bound computed from the reader's trace,
// give or take the millisecond the virtual clock rounds each reply up to.
// So the bound the benchmarks hold the library against is sound, and the
// library adds no waiting of its own.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "KX_ICCReader.h"
#include "sim/line_budget.h"
#include "sim/psam.h"
#include "sim/user_card.h"
#include "tests/support/hex.h"
#include "tests/support/key_check.h"
#include "tests/support/sim_fixture.h"

namespace kx {
namespace {

using test::Bytes;
using test::HexBytes;

Bytes Apdu(const Bytes& command) {
  unsigned char reply[300] = {};
  int length = 0;
  KXRunApdu(0, static_cast<int>(command.size()), command.data(), &length, reply);
  return Bytes(reply, reply + (length > 0 ? length : 0));
}

// The key check of UK1DF01 through the raw exports: the PSAM's key work
// takes its longer time.
int CheckKeyThroughExports() {
  KXSelectIFD(0, 12);
  char atrHex[201] = {};
  if (KXCpuReset(0, atrHex) != 0) return -1;
  Apdu(HexBytes("00A40000023F00"));
  Apdu(HexBytes("00A4020002EF05"));
  const Bytes record = Apdu(HexBytes("00B2010400"));
  if (record.size() < 20) return -1;
  const Bytes code(record.begin() + 2, record.end() - 2);
  KXSelectIFD(0, 14);
  char psamAtrHex[201] = {};
  KXCpuReset(0, psamAtrHex);
  const auto through = [](int code) {
    return [code](const Bytes& apdu) {
      KXSelectIFD(0, code);
      return Apdu(apdu);
    };
  };
  return test::CheckKey("UK1DF01", HexBytes(atrHex), code, through(12), through(14));
}

struct PacedCase {
  const char* name;
  std::function<int()> operation;  // 0 on success
};

class PacedLine : public test::SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    reader.Insert(0, std::make_shared<sim::UserCard>());
    reader.Insert(16, std::make_shared<sim::Psam>());
    reader.SetTiming({.commandMs = 3, .cryptoMs = 15});
  }
};

TEST_F(PacedLine, AnOperationTakesItsLowerBound) {
  const PacedCase cases[] = {
      {"open and status",
       [] {
         char status = 0;
         const int opened = KXReaderInitTest(1, 9600);
         return opened != 0 ? opened : GetReaderStatus(0, &status);
       }},
      {"power on after the pause",
       [] {
         char atrHex[201] = {};
         return KXCpuReset(0, atrHex);
       }},
      {"one APDU", [] { return Apdu(HexBytes("0084000008")).size() == 10 ? 0 : -1; }},
      {"PSAM id",
       [] {
         char id[13] = {};
         return KXGetPsamID(0, id);
       }},
      {"key check", [] { return CheckKeyThroughExports() == 0x9000 ? 0 : -1; }},
  };
  for (const std::uint32_t baud : {9600u, 115200u}) {
    backend.SetBaud(1, baud);
    ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
    for (const PacedCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(baud));
      backend.Advance(50);  // whatever the last case sent has crossed the line
      reader.ClearTrace();
      const std::uint32_t start = backend.Now();
      const std::uint64_t sleptBefore = backend.SleptMs();
      ASSERT_EQ(c.operation(), 0);
      const std::uint64_t tookUs = std::uint64_t{backend.Now() - start} * 1000;

      sim::LowerBound bound;
      int replies = 0;
      for (const sim::TraceEntry& entry : reader.trace()) {
        bound.Add(entry);
        replies += sim::CostOf(entry).reply ? 1 : 0;
      }
      const std::uint64_t boundUs =
          bound.Microseconds(baud) + (backend.SleptMs() - sleptBefore) * 1000;
      ASSERT_GT(replies, 0);
      EXPECT_GE(tookUs, boundUs);
      EXPECT_LE(tookUs, boundUs + 1000u * static_cast<std::uint64_t>(replies));
    }
    KXReaderPowerOff(0);
  }
}

}  // namespace
}  // namespace kx
