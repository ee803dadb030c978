// What every simulated card shares: READ BINARY over a transparent file.
#include "sim/card_command.h"

#include <gtest/gtest.h>

#include "tests/support/hex.h"

namespace kx::test {
namespace {

TEST(SimReadBinary, OffsetInsideTheFileReadsWhatThereIsPastItIsRefused) {
  const Bytes file = HexBytes("11 22 33 44 55 66");
  struct Case {
    const char* apdu;
    bool t0;
    const char* reply;
  };
  const Case cases[] = {
      {"00B0000006", false, "11 22 33 44 55 66 90 00"},
      {"00B00000", false, "11 22 33 44 55 66 90 00"},  // no Le: as much as there is
      {"00B0000400", false, "55 66 90 00"},            // cut short by the end of the file
      {"00B0000402", true, "55 66 90 00"},
      {"00B0000500", true, "6C 01"},   // T=0 names the length there is
      {"00B0000601", false, "6B 00"},  // at the end: nothing to read
      {"00B0000600", true, "6B 00"},   // not 6C 00, which would ask for 256 bytes
      {"00B0010001", false, "6B 00"},
  };
  for (const Case& c : cases) {
    sim::CommandApdu command;
    ASSERT_TRUE(sim::ParseCommand(HexBytes(c.apdu), &command)) << c.apdu;
    sim::ResponseChannel channel;
    channel.SetT0(c.t0);
    EXPECT_EQ(HexText(sim::ReadBinaryFrom(file, command, channel)), c.reply)
        << c.apdu << (c.t0 ? " T=0" : "");
  }
}

}  // namespace
}  // namespace kx::test
