// The named card and PSAM commands over the simulated reader: the APDUs they
// build, what they hand back, the master-file selection that drops the link
// when it fails, and the identification code and diversification factors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/apdu.h"
#include "card/commands.h"
#include "core/state.h"
#include "tests/integration/card_fixture.h"
#include "tests/support/state_operation.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Gbk;
using test::HexBytes;

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The master file's name as the card stores it.
Bytes MasterFileName() {
  const std::string name = Gbk("sx1.sh.社会保障");
  return Bytes(name.begin(), name.end());
}

const Bytes kSelectMf = HexBytes("00 A4 00 00 02 3F 00");
const Bytes kOk = HexBytes("90 00");

class CardCommands : public test::CardFixture {
 protected:
  bool LinkOpen() { return backend.IsOpen(1); }
  // The reader command bodies since the trace was cleared.
  bool PoweredOff(int slot) {
    for (const Bytes& body : reader.Commands()) {
      if (body == Bytes{0x32, 0x23, static_cast<std::uint8_t>(slot)}) return true;
    }
    return false;
  }
  // The three APDUs that read the identification code, answered with `record`.
  void ScriptIdentificationCode(const Bytes& record) {
    card->Expect(kSelectMf, Concat(Concat(HexBytes("6F 11 84 0F"), MasterFileName()), kOk))
        .Expect("00 A4 02 00 02 EF 05", "90 00")
        .Expect(HexBytes("00 B2 01 04 00"), Concat(record, kOk));
  }
};

// ---------------------------------------------------------------- master file

TEST_F(CardCommands, MasterFileNamedInTheReplyTakesOneSelect) {
  card->Expect(kSelectMf, Concat(Concat(HexBytes("6F 13 84 0F"), MasterFileName()), kOk));
  EXPECT_EQ(SelectMasterFile(test::Op()), 0);
  EXPECT_EQ(reader.ApdusTo(0).size(), 1u);
  EXPECT_EQ(card->Problems(), "");
  EXPECT_TRUE(LinkOpen());
}

TEST_F(CardCommands, MasterFileIsSelectedByNameWhenTheReplyDoesNotNameIt) {
  const Bytes byName = Concat(HexBytes("00 A4 04 00 0F"), MasterFileName());
  ASSERT_EQ(byName.size(), 20u);
  card->Expect(kSelectMf, HexBytes("6F 04 84 02 3F 00 90 00")).Expect(byName, kOk);
  EXPECT_EQ(SelectMasterFile(test::Op()), 0);
  EXPECT_EQ(card->Problems(), "");
  EXPECT_TRUE(LinkOpen());
}

TEST_F(CardCommands, NameAfterAZeroByteIsNotSeen) {
  // The reply is read as text: it ends at its first zero byte.
  card->Expect(kSelectMf, Concat(Concat(HexBytes("6F 11 00 0F"), MasterFileName()), kOk))
      .Expect(Concat(HexBytes("00 A4 04 00 0F"), MasterFileName()), kOk);
  EXPECT_EQ(SelectMasterFile(test::Op()), 0);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, RefusedMasterFileClosesTheLinkAndIsNotTriedByName) {
  card->Expect("00 A4 00 00 02 3F 00", "6A 82");
  EXPECT_EQ(SelectMasterFile(test::Op()), -27266);
  EXPECT_EQ(reader.ApdusTo(0).size(), 1u);
  EXPECT_TRUE(PoweredOff(0));
  EXPECT_FALSE(LinkOpen());
  EXPECT_EQ(Text(), Gbk(";KXReadCardIDAIO 选择主文件失败"));
  EXPECT_EQ(Message(-27266), Gbk("sw返回 6a82 未找到文件\r\n;KXReadCardIDAIO 选择主文件失败"));

  // Nothing reaches the card until the host opens the reader again.
  std::uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  std::uint8_t reply[300];
  int replyLength = 0;
  EXPECT_EQ(KXRunApdu(0, 5, apdu, &replyLength, reply), -2);
  EXPECT_EQ(card->StepsRun(), 1);
  EXPECT_EQ(card->Problems(), "");
}

// Within the operation that dropped the link, a further command fails as a
// closed link's send, unsent, and is never taken for a success.
TEST_F(CardCommands, TheDroppingOperationsNextCommandFailsUnsent) {
  card->Expect("00 A4 00 00 02 3F 00", "6A 82");
  test::StateOperation op;
  EXPECT_EQ(SelectMasterFile(op), -27266);
  Response reply;
  EXPECT_EQ(Exchange(op, CommandApdu::Expecting(0x00, 0x84, 0x00, 0x00, 8), &reply), -2);
  EXPECT_EQ(card->StepsRun(), 1);
}

TEST_F(CardCommands, FailureTextSurvivesThePowerOff) {
  // The by-name select meets a reader that has lost the card's power: its
  // message must outlive the power-off reply, which clears the text.
  card->Expect(kSelectMf, HexBytes("6F 04 84 02 3F 00 90 00"))
      .Expect(Concat(HexBytes("00 A4 04 00 0F"), MasterFileName()), kOk);
  reader.faults().onlyCommand = 0x26;
  reader.faults().after = 1;
  reader.faults().remaining = 1;
  reader.faults().status = 0x1004;
  EXPECT_EQ(SelectMasterFile(test::Op()), -7);
  EXPECT_TRUE(PoweredOff(0));
  EXPECT_FALSE(LinkOpen());
  EXPECT_EQ(Text(), Gbk("接触式用户卡未上电;KXReadCardIDAIO 选择主文件失败"));
}

TEST_F(CardCommands, RefusedSelectionByNameClosesTheLinkToo) {
  auto psam = std::make_shared<test::ScriptedCard>(HexBytes("3B 02 14 50"));
  psam->Expect(kSelectMf, kOk)
      .Expect(Concat(HexBytes("00 A4 04 00 0F"), MasterFileName()), HexBytes("6A 82"));
  reader.Insert(16, psam);
  KXSelectIFD(0, 14);
  char atr[201];
  ASSERT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_EQ(SelectMasterFile(test::Op()), -27266);
  EXPECT_TRUE(PoweredOff(16));
  EXPECT_FALSE(PoweredOff(0));
  EXPECT_FALSE(LinkOpen());
  EXPECT_EQ(nIFDType, 16);
  EXPECT_EQ(psam->Problems(), "");
}

// ---------------------------------------------------------------- select file

TEST_F(CardCommands, SelectFileSendsP1AndTheIdentifierAfterA4) {
  card->Expect("00 A4 02 00 02 EF 05", "90 00").Expect("00 A4 00 00 02 DF 01", "6A 82");
  EXPECT_EQ(SelectFile(test::Op(), SelectBy::ChildIdentifier, 0xEF05), 0);
  EXPECT_EQ(SelectFile(test::Op(), SelectBy::Identifier, 0xDF01), -27266);
  EXPECT_EQ(Text(), Gbk("KXReadCardIDAIO 选择文件失败"));
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, CommandsOutsideTheShortApduRangesAreRefusedUnsent) {
  const std::uint8_t data[300] = {};
  EXPECT_EQ(UpdateBinary(test::Op(), 0, 256, data), -12);
  EXPECT_EQ(UpdateRecord(test::Op(), 1, 4, -1, data), -12);
  EXPECT_EQ(PsamDiversifyKey(test::Op(), 0x48, 0x42, 8, nullptr), -12);
  EXPECT_EQ(Text(), Gbk("capdu 的长度超出范围"));
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

// ---------------------------------------------------------------- records, binary

TEST_F(CardCommands, ReadRecordGivesTheRecordWithoutItsStatus) {
  card->Expect("00 B2 01 04 00", "01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F 90 00");
  std::uint8_t data[300] = {};
  int length = 0;
  EXPECT_EQ(ReadRecord(test::Op(), 1, 4, 0, &length, data), 0);
  EXPECT_EQ(length, 18);
  EXPECT_EQ(std::strlen(LastRecordHex), 36u);
  EXPECT_EQ(data[17], 0x3F);
  EXPECT_EQ(data[18], 0x00);
}

TEST_F(CardCommands, ReadRecordTakesLeUpTo256) {
  card->Expect("00 B2 01 04 00", "90 00");
  std::uint8_t data[300];
  int length = -1;
  EXPECT_EQ(ReadRecord(test::Op(), 1, 4, 256, &length, data), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(ReadRecord(test::Op(), 1, 4, 257, &length, data), -12);
  EXPECT_EQ(ReadRecord(test::Op(), 1, 4, -1, &length, data), -12);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, BinaryOffsetsSplitIntoP1AndP2) {
  card->Expect("00 D6 01 05 03 0A 0B 0C", "90 00").Expect("00 B0 01 05 03", "0A 0B 0C 90 00");
  const std::uint8_t data[3] = {0x0A, 0x0B, 0x0C};
  EXPECT_EQ(UpdateBinary(test::Op(), 0x0105, 3, data), 0);
  std::uint8_t reply[8];
  std::memset(reply, 0xEE, sizeof reply);
  EXPECT_EQ(ReadBinary(test::Op(), 0x0105, 3, reply), 0);
  EXPECT_EQ(Bytes(reply, reply + 5), HexBytes("0A 0B 0C 90 00"));
  EXPECT_EQ(reply[5], 0xEE);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, ReadBinaryCopiesNoMoreThanItAskedFor) {
  Bytes flood(40, 0x77);
  card->Expect(HexBytes("00 B0 00 00 04"), Concat(flood, kOk));
  std::uint8_t reply[16];
  std::memset(reply, 0xEE, sizeof reply);
  EXPECT_EQ(ReadBinary(test::Op(), 0, 4, reply), 0);
  EXPECT_EQ(Bytes(reply, reply + 6), Bytes(6, 0x77));
  EXPECT_EQ(reply[6], 0xEE);
}

TEST_F(CardCommands, ReadBinaryWithLeZeroTakesAll256Bytes) {
  Bytes whole(256);
  for (int i = 0; i < 256; ++i) whole[i] = static_cast<std::uint8_t>(i);
  card->Expect(HexBytes("00 B0 00 00 00"), Concat(whole, kOk));
  std::uint8_t reply[260];
  std::memset(reply, 0xEE, sizeof reply);
  EXPECT_EQ(ReadBinary(test::Op(), 0, 0, reply), 0);
  EXPECT_EQ(Bytes(reply, reply + 258), Concat(whole, kOk));
  EXPECT_EQ(reply[258], 0xEE);
}

TEST_F(CardCommands, ReadBinaryHandsBackARefusal) {
  card->Expect("00 B0 00 10 04", "6B 00");
  std::uint8_t reply[8] = {};
  EXPECT_EQ(ReadBinary(test::Op(), 0x10, 4, reply), -0x6B00);
  EXPECT_EQ(Bytes(reply, reply + 2), HexBytes("6B 00"));
}

TEST_F(CardCommands, LcAbove255OrBelowZeroIsRefusedUnsent) {
  std::vector<std::uint8_t> data(300, 0x01);
  EXPECT_EQ(UpdateBinary(test::Op(), 0, 256, data.data()), -12);
  EXPECT_EQ(UpdateBinary(test::Op(), 0, -3, data.data()), -12);
  EXPECT_EQ(PsamDiversifyKey(test::Op(), 0x67, 0x08, 300, data.data()), -12);
  EXPECT_EQ(ExternalAuthenticate(test::Op(), 0, 9, -1, data.data()), -12);
  EXPECT_EQ(UpdateRecord(test::Op(), 1, 4, 5, nullptr), -12);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\ncapdu 的长度超出范围"));
  EXPECT_TRUE(reader.ApdusTo(0).empty());

  card->ExpectAny(kOk);
  EXPECT_EQ(UpdateBinary(test::Op(), 0, 255, data.data()), 0);
  ASSERT_EQ(card->Received().size(), 1u);
  EXPECT_EQ(card->Received()[0].size(), 260u);
}

// ---------------------------------------------------------------- challenge

TEST_F(CardCommands, ChallengeIsTheFirstBytesOfTheReply) {
  card->Expect("00 84 00 00 08", "11 22 33 44 55 66 77 88 90 00");
  std::uint8_t random[10];
  std::memset(random, 0xEE, sizeof random);
  EXPECT_EQ(GetChallenge(test::Op(), 8, random), 0);
  EXPECT_EQ(Bytes(random, random + 8), HexBytes("11 22 33 44 55 66 77 88"));
  EXPECT_EQ(random[8], 0xEE);
}

TEST_F(CardCommands, RefusedChallengeSaysSo) {
  card->Expect("00 84 00 00 08", "69 85");
  std::uint8_t random[8];
  EXPECT_EQ(GetChallenge(test::Op(), 8, random), -0x6985);
  EXPECT_EQ(Text(), Gbk("取随机数失败"));
}

TEST_F(CardCommands, ChallengeAbove50BytesIsRefusedUnsent) {
  std::uint8_t random[64];
  EXPECT_EQ(GetChallenge(test::Op(), 51, random), -12);
  EXPECT_EQ(Text(), Gbk("取随机数失败"));
  EXPECT_EQ(GetChallenge(test::Op(), -1, random), -12);
  EXPECT_TRUE(reader.ApdusTo(0).empty());

  Bytes fifty(50, 0x42);
  card->Expect(HexBytes("00 84 00 00 32"), Concat(fifty, kOk));
  EXPECT_EQ(GetChallenge(test::Op(), 50, random), 0);
  EXPECT_EQ(Bytes(random, random + 50), fifty);
}

TEST_F(CardCommands, ShortChallengeIsPaddedWithZeros) {
  card->Expect("00 84 00 00 08", "11 22 33 90 00")
      .Expect("00 84 00 00 04", "01 02 03 04 05 06 07 08 09 90 00");
  std::uint8_t random[10];
  std::memset(random, 0xEE, sizeof random);
  EXPECT_EQ(GetChallenge(test::Op(), 8, random), 0);
  EXPECT_EQ(Bytes(random, random + 9), HexBytes("11 22 33 00 00 00 00 00 EE"));
  std::memset(random, 0xEE, sizeof random);
  EXPECT_EQ(GetChallenge(test::Op(), 4, random), 0);
  EXPECT_EQ(Bytes(random, random + 5), HexBytes("01 02 03 04 EE"));
}

// ---------------------------------------------------------------- PSAM commands

TEST_F(CardCommands, PsamEncryptAddsLeAndReportsTheCryptogramLength) {
  card->Expect("80 FA 00 00 08 01 02 03 04 05 06 07 08 00", "A1 A2 A3 A4 A5 A6 A7 A8 90 00");
  const std::uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t reply[300] = {};
  int replyLength = -1;
  EXPECT_EQ(PsamEncrypt(test::Op(), 0, 0, 8, data, &replyLength, reply), 0);
  EXPECT_EQ(replyLength, 8);
  EXPECT_EQ(Bytes(reply, reply + 10), HexBytes("A1 A2 A3 A4 A5 A6 A7 A8 90 00"));
  ASSERT_EQ(reader.ApdusTo(0).size(), 1u);
  EXPECT_EQ(reader.ApdusTo(0)[0].size(), 14u);
}

TEST_F(CardCommands, PsamEncryptRefusedLeavesTheLengthAlone) {
  card->Expect("80 FA 05 00 01 99 00", "69 85");
  const std::uint8_t data[1] = {0x99};
  std::uint8_t reply[300] = {};
  int replyLength = -1;
  EXPECT_EQ(PsamEncrypt(test::Op(), 5, 0, 1, data, &replyLength, reply), -0x6985);
  EXPECT_EQ(replyLength, -1);
}

TEST_F(CardCommands, DiversifyAndAuthenticateCarryTheirData) {
  Bytes factors(32);
  for (std::size_t i = 0; i < factors.size(); ++i) factors[i] = static_cast<std::uint8_t>(i);
  Bytes auth(16, 0xA5);
  card->Expect(Concat(HexBytes("BF DE 67 08 20"), factors), kOk)
      .Expect(Concat(HexBytes("00 82 00 09 10"), auth), HexBytes("63 C2"));
  EXPECT_EQ(PsamDiversifyKey(test::Op(), 0x67, 0x08, 32, factors.data()), 0);
  EXPECT_EQ(ExternalAuthenticate(test::Op(), 0, 9, 16, auth.data()), -0x63C2);
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(card->Problems(), "");
}

// ---------------------------------------------------------------- identification

TEST_F(CardCommands, IdentificationCodeIsTheValueOfRecordOne) {
  ScriptIdentificationCode(HexBytes("01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F"));
  std::uint8_t value[40];
  std::memset(value, 0xEE, sizeof value);
  EXPECT_EQ(ReadIdentificationCode(test::Op(), value), 0);
  EXPECT_EQ(Bytes(value, value + 16), HexBytes("33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F"));
  EXPECT_EQ(value[16], 0xEE);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, IdentificationCodeOf32BytesIsAccepted) {
  ScriptIdentificationCode(Concat(HexBytes("01 20"), Bytes(32, 0x31)));
  std::uint8_t value[40];
  std::memset(value, 0xEE, sizeof value);
  EXPECT_EQ(ReadIdentificationCode(test::Op(), value), 0);
  EXPECT_EQ(Bytes(value, value + 33), Concat(Bytes(32, 0x31), {0xEE}));
}

TEST_F(CardCommands, MalformedIdentificationRecordsAreRefused) {
  const Bytes records[] = {
      Concat(HexBytes("01 21"), Bytes(33, 0x31)),   // longer than 32
      Concat(HexBytes("01 90"), Bytes(100, 0x31)),  // top bit set
      Concat(HexBytes("01 10"), Bytes(8, 0x31)),    // shorter than it says
      HexBytes("01"),                               // no length byte
  };
  for (const Bytes& record : records) {
    card = std::make_shared<test::ScriptedCard>();
    reader.Insert(0, card);
    char atr[201];
    ASSERT_EQ(KXCpuReset(0, atr), 0);
    ScriptIdentificationCode(record);
    std::uint8_t value[40];
    std::memset(value, 0xEE, sizeof value);
    EXPECT_EQ(ReadIdentificationCode(test::Op(), value), -12) << test::HexText(record);
    EXPECT_EQ(Bytes(value, value + 40), Bytes(40, 0xEE));
    EXPECT_EQ(card->Problems(), "");
  }
}

TEST_F(CardCommands, IdentificationCodeStopsAtTheFirstFailedStep) {
  card->Expect(kSelectMf, kOk)
      .Expect(Concat(HexBytes("00 A4 04 00 0F"), MasterFileName()), kOk)
      .Expect("00 A4 02 00 02 EF 05", "6A 82");
  std::uint8_t value[32];
  EXPECT_EQ(ReadIdentificationCode(test::Op(), value), -27266);
  EXPECT_EQ(Text(), Gbk("KXReadCardIDAIO 选择文件失败"));
  EXPECT_TRUE(LinkOpen());
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, FactorsComeFromTheCodeAndTheResetAnswer) {
  // The fixture reset the card with historical bytes 01..0D: the card factor
  // is historical bytes 6 to 13.
  ScriptIdentificationCode(HexBytes("01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F"));
  std::uint8_t factor1[9] = {}, factor2[9] = {}, cardFactor[9] = {};
  factor1[8] = factor2[8] = cardFactor[8] = 0xEE;
  EXPECT_EQ(BuildDiversificationFactors(test::Op(), factor1, factor2, cardFactor), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(factor1), 8), "330000sh");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(factor2), 8), "330300sx");
  EXPECT_EQ(Bytes(cardFactor, cardFactor + 8), HexBytes("06 07 08 09 0A 0B 0C 0D"));
  EXPECT_EQ(factor1[8], 0xEE);
  EXPECT_EQ(factor2[8], 0xEE);
  EXPECT_EQ(cardFactor[8], 0xEE);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardCommands, FactorHexDigitsAreUpperCase) {
  ScriptIdentificationCode(HexBytes("01 02 AB CD"));
  std::uint8_t factor1[8], factor2[8], cardFactor[8];
  EXPECT_EQ(BuildDiversificationFactors(test::Op(), factor1, factor2, cardFactor), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(factor1), 8), "AB0000sh");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(factor2), 8), "ABCD00sx");
}

TEST_F(CardCommands, NoFactorsWithoutAResetAnswerLongEnough) {
  card->SetAtr(HexBytes("3B 02 14 50"));
  char atr[201];
  ASSERT_EQ(KXCpuReset(0, atr), 0);
  ScriptIdentificationCode(HexBytes("01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F"));
  std::uint8_t factor1[8], factor2[8], cardFactor[8];
  std::memset(factor1, 0xEE, 8);
  std::memset(factor2, 0xEE, 8);
  std::memset(cardFactor, 0xEE, 8);
  EXPECT_EQ(BuildDiversificationFactors(test::Op(), factor1, factor2, cardFactor), -12);
  EXPECT_EQ(Bytes(factor1, factor1 + 8), Bytes(8, 0xEE));
  EXPECT_EQ(Bytes(factor2, factor2 + 8), Bytes(8, 0xEE));
  EXPECT_EQ(Bytes(cardFactor, cardFactor + 8), Bytes(8, 0xEE));
}

TEST_F(CardCommands, NoFactorsWhenTheCodeCannotBeRead) {
  card->Expect("00 A4 00 00 02 3F 00", "6A 82");
  std::uint8_t factor1[8], factor2[8], cardFactor[8];
  std::memset(factor1, 0xEE, 8);
  EXPECT_EQ(BuildDiversificationFactors(test::Op(), factor1, factor2, cardFactor), -27266);
  EXPECT_EQ(Bytes(factor1, factor1 + 8), Bytes(8, 0xEE));
  EXPECT_FALSE(LinkOpen());
}

}  // namespace
}  // namespace kx
