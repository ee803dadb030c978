// The simulated PSAM through its APDUs: selections, the terminal identifier,
// key diversification and the two computations, with and without T=0.
#include "sim/psam.h"

#include <gtest/gtest.h>

#include "sim/keys.h"
#include "tests/sim/card_support.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

using kx::sim::Psam;

class SimPsamTest : public ::testing::Test {
 protected:
  void SetUp() override { psam.PowerOn(); }
  void EnterApplication() { ASSERT_EQ(Sw(Send(psam, "00A4000002DF01")), 0x9000); }

  Psam psam;
};

TEST_F(SimPsamTest, MasterFileReplyCarriesTheNameAndTheNameSelectsIt) {
  const Bytes reply = Send(psam, "00A40000023F00");
  EXPECT_EQ(Sw(reply), 0x9000);
  const std::string name = Gbk("sx1.sh.社会保障");
  const std::string text(reply.begin(), reply.end());
  EXPECT_NE(text.find(name), std::string::npos);

  EXPECT_EQ(Sw(psam.Transmit(Header({0x00, 0xA4, 0x04, 0x00}, Bytes(name.begin(), name.end())))),
            0x9000);
  EXPECT_EQ(Sw(Send(psam, "00A404000F" + std::string(30, '0'))), 0x6A82);
}

TEST_F(SimPsamTest, TerminalIdComesFromFile0016UnderTheMasterFile) {
  EXPECT_EQ(Sw(Send(psam, "00A40000020016")), 0x9000);
  const Bytes reply = Send(psam, "00B0000006");
  EXPECT_EQ(HexText(reply), "33 03 29 00 00 01 90 00");
  // Nothing lies at the end of the file (the card's common READ BINARY rule).
  EXPECT_EQ(Sw(Send(psam, "00B0000601")), 0x6B00);
  // Not visible from the application, and nothing to read before a selection.
  EnterApplication();
  EXPECT_EQ(Sw(Send(psam, "00A40000020016")), 0x6A82);
  psam.PowerOn();
  EXPECT_EQ(Sw(Send(psam, "00B0000006")), 0x6986);
}

TEST_F(SimPsamTest, DiversifyThenEncryptUsesTheMasterKeyDerivedBlockByBlock) {
  ASSERT_EQ(Sw(Send(psam, "00A4040006D15600000590")), 0x9000);
  const Bytes factors =
      HexBytes("1122334455667788 3333303300007378 3333303030307368 0102030405060708");
  ASSERT_EQ(Sw(psam.Transmit(Header({0xBF, 0xDE, 0x67, 0x08}, factors))), 0x9000);

  sim::Key16 key = sim::IssuerMasterKey(0x67, 0x08);
  for (std::size_t at = 0; at < factors.size(); at += 8) {
    key = sim::DeriveKey(key, sim::ToBlock(&factors[at]));
  }
  const Bytes data = HexBytes("330329D156000005 0000607400000000");
  const Bytes expected = sim::EncryptEcb(key, data);

  // With the trailing Le byte, and without it: the same answer.
  Bytes withLe = Header({0x80, 0xFA, 0x00, 0x00}, data);
  withLe.push_back(0x00);
  EXPECT_EQ(psam.Transmit(withLe), Concat({expected, {0x90, 0x00}}));
  EXPECT_EQ(psam.Transmit(Header({0x80, 0xFA, 0x00, 0x00}, data)),
            Concat({expected, {0x90, 0x00}}));
}

TEST_F(SimPsamTest, MacIsTheCbcMacUnderTheWorkingKey) {
  EnterApplication();
  const Bytes factors = HexBytes("0011223344556677 8899AABBCCDDEEFF");
  ASSERT_EQ(Sw(psam.Transmit(Header({0xBF, 0xDE, 0x48, 0x11}, factors))), 0x9000);
  const sim::Key16 key =
      sim::DeriveKey(sim::DeriveKey(sim::IssuerMasterKey(0x48, 0x11), sim::ToBlock(&factors[0])),
                     sim::ToBlock(&factors[8]));
  const Bytes input = HexBytes("0000000000000000 841E00010C010203 0405060708800000");
  sim::Block8 mac{};
  ASSERT_TRUE(sim::CbcMac(key, input, &mac));
  Bytes command = Header({0x80, 0xFA, 0x05, 0x00}, input);
  command.push_back(0x00);
  EXPECT_EQ(psam.Transmit(command), Concat({FromBlock(mac), {0x90, 0x00}}));
}

TEST_F(SimPsamTest, RefusesBadDiversificationAndComputationRequests) {
  // Keys live in the application.
  EXPECT_EQ(Sw(Send(psam, "BFDE481108 0011223344556677")), 0x6985);
  EnterApplication();
  EXPECT_EQ(Sw(Send(psam, "BFDE481107 00112233445566")), 0x6700);
  EXPECT_EQ(Sw(psam.Transmit(Header({0xBF, 0xDE, 0x48, 0x11}, Bytes(40, 0x11)))), 0x6700);
  EXPECT_EQ(Sw(Send(psam, "BFDE999908 0011223344556677")), 0x6A88);
  // No working key yet.
  EXPECT_EQ(Sw(Send(psam, "80FA000008 0011223344556677 00")), 0x6985);
  ASSERT_EQ(Sw(Send(psam, "BFDE481108 0011223344556677")), 0x9000);
  EXPECT_EQ(Sw(Send(psam, "80FA000007 00112233445566")), 0x6700);
  EXPECT_EQ(Sw(Send(psam, "80FA010008 0011223344556677")), 0x6A86);
  EXPECT_EQ(Sw(Send(psam, "80FA000008 0011223344556677")), 0x9000);
  EXPECT_EQ(Sw(Send(psam, "00CA000000")), 0x6D00);
}

TEST_F(SimPsamTest, PowerOffForgetsTheWorkingKeyAndTheSelection) {
  EnterApplication();
  ASSERT_EQ(Sw(Send(psam, "BFDE481108 0011223344556677")), 0x9000);
  psam.PowerOff();
  psam.PowerOn();
  EXPECT_EQ(Sw(Send(psam, "80FA000008 0011223344556677")), 0x6985);
  EXPECT_EQ(Sw(Send(psam, "BFDE481108 0011223344556677")), 0x6985);
}

TEST_F(SimPsamTest, T0ModeHandsComputedDataOutThroughGetResponse) {
  psam.SetT0(true);
  const Bytes select = Send(psam, "00A4000002DF01");
  ASSERT_EQ(select[0], 0x61);
  EXPECT_EQ(Sw(Send(psam, "00C00000" + HexText({select[1]}))), 0x9000);
  ASSERT_EQ(Sw(Send(psam, "BFDE481108 0011223344556677")), 0x9000);

  EXPECT_EQ(HexText(Send(psam, "80FA000010 00112233445566770011223344556677 00")), "61 10");
  // A GET RESPONSE asking too much learns the length; the data stays.
  EXPECT_EQ(HexText(Send(psam, "00C0000020")), "6C 10");
  const Bytes data = Send(psam, "00C0000010");
  ASSERT_EQ(data.size(), 18u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), Bytes(data.begin() + 8, data.begin() + 16));
  // Collected once only.
  EXPECT_EQ(Sw(Send(psam, "00C0000010")), 0x6985);
  // Another command in between loses the parked data.
  EXPECT_EQ(HexText(Send(psam, "80FA000008 0011223344556677")), "61 08");
  EXPECT_EQ(HexText(Send(psam, "00A4000002DF01")), "61 0A");
  EXPECT_EQ(HexText(Send(psam, "00C000000A")), "6F 08 84 06 D1 56 00 00 05 90 90 00");
}

}  // namespace
}  // namespace kx::test
