// The simulator's hex codec, as its options and profile file read it.
#include "sim/hex.h"

#include <gtest/gtest.h>

namespace kx::sim {
namespace {

TEST(SimHex, ParseHex) {
  EXPECT_EQ(ParseHex("3B6d00"), (Bytes{0x3B, 0x6D, 0x00}));
  EXPECT_EQ(ParseHex("3B 6D  00"), (Bytes{0x3B, 0x6D, 0x00}));
  EXPECT_EQ(ParseHex(" 3B\t6D "), (Bytes{0x3B, 0x6D}));
  EXPECT_EQ(ParseHex(""), Bytes{});
  EXPECT_FALSE(ParseHex("3B6"));
  EXPECT_FALSE(ParseHex("3 B"));
  EXPECT_FALSE(ParseHex("3B:6D"));
  EXPECT_FALSE(ParseHex("XY"));
}

TEST(SimHex, HexTextSpacedOrPacked) {
  const Bytes bytes = {0x3B, 0x6D, 0x0A};
  EXPECT_EQ(HexText(bytes), "3B 6D 0A");
  EXPECT_EQ(HexText(bytes, '\0'), "3B6D0A");
  EXPECT_EQ(HexText(Bytes{}), "");
}

}  // namespace
}  // namespace kx::sim
