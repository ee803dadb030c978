// The PSAM's terminal identifier through KXGetPsamID and KXGetPsamIDATR:
// the commands sent, the slot left selected, and PSAMs that misbehave.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "tests/integration/card_fixture.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Gbk;
using test::HexBytes;
using test::ScriptedCard;

const char kPsamAtr[] = "3B 6C 00 02 86 38 01 00 00 00 00 00 00 00 11 22";

class PsamId : public test::CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    psam = std::make_shared<ScriptedCard>(HexBytes(kPsamAtr));
  }
  void InsertPsam() { reader.Insert(16, psam); }

  std::shared_ptr<ScriptedCard> psam;
};

TEST_F(PsamId, IdentifierIsTwelveHexDigitsAndTheUserCardIsSelectedAfter) {
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "11 22 33 44 55 AA 90 00");
  InsertPsam();
  KXSelectIFD(0, 14);
  ErrorTextReplace("stale");
  char id[64];
  std::memset(id, 'X', sizeof id);
  EXPECT_EQ(KXGetPsamID(0, id), 0);
  EXPECT_STREQ(id, "1122334455AA");
  EXPECT_EQ(nIFDType, 0);
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(psam->Problems(), "");
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

TEST_F(PsamId, IdentifierWithResetAnswer) {
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "01 02 03 04 05 06 90 00");
  InsertPsam();
  const Bytes userAnswer(ResetAnswer, ResetAnswer + ResetAnswerLength);
  char id[64] = {}, atr[201] = {};
  EXPECT_EQ(KXGetPsamIDATR(0, id, atr), 0);
  EXPECT_STREQ(id, "010203040506");
  EXPECT_STREQ(atr, "3B6C0002863801000000000000001122");
  EXPECT_EQ(nIFDType, 0);
  // The PSAM's answer is not the user card's.
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + ResetAnswerLength), userAnswer);
  // Either buffer missing is refused before the PSAM is asked.
  reader.ClearTrace();
  EXPECT_EQ(KXGetPsamIDATR(0, nullptr, atr), -12);
  EXPECT_EQ(KXGetPsamIDATR(0, id, nullptr), -12);
  EXPECT_TRUE(reader.Commands().empty());
}

TEST_F(PsamId, NoPsamIsMinusFiveWithThePsamSelected) {
  char id[64] = "untouched", atr[201] = "untouched";
  EXPECT_EQ(KXGetPsamIDATR(0, id, atr), -5);
  EXPECT_EQ(nIFDType, 16);
  EXPECT_EQ(id[0], '\0');
  EXPECT_EQ(atr[0], '\0');
  EXPECT_EQ(KXGetPsamID(0, id), -5);
  EXPECT_EQ(nIFDType, 16);
}

TEST_F(PsamId, FileThatCannotBeSelectedIsNamedInTheText) {
  psam->Expect("00 A4 00 00 02 00 16", "6A 82");
  InsertPsam();
  char id[64], atr[201];
  EXPECT_EQ(KXGetPsamIDATR(0, id, atr), -27266);
  EXPECT_EQ(Text(), Gbk("KXGetPsamID 选择文件0016失败"));
  EXPECT_EQ(nIFDType, 16);
  EXPECT_EQ(psam->Problems(), "");
}

TEST_F(PsamId, UnreadableIdentifierIsNamedInTheText) {
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "69 82");
  InsertPsam();
  char id[64];
  EXPECT_EQ(KXGetPsamID(0, id), -27010);
  EXPECT_EQ(Text(), Gbk("KXGetPsamID 获取PSAM卡终端信息唯一标识号失败"));
  EXPECT_EQ(nIFDType, 16);
}

TEST_F(PsamId, PsamThatAnswersMoreWritesNoMoreThanTheIdentifier) {
  Bytes flood(250, 0x5A);
  flood.push_back(0x90);
  flood.push_back(0x00);
  psam->Expect(HexBytes("00 A4 00 00 02 00 16"), HexBytes("90 00"))
      .Expect(HexBytes("00 B0 00 00 06"), flood);
  InsertPsam();
  char id[64];
  std::memset(id, 'X', sizeof id);
  EXPECT_EQ(KXGetPsamID(0, id), 0);
  EXPECT_STREQ(id, "5A5A5A5A5A5A");
  EXPECT_EQ(id[13], 'X');
}

TEST_F(PsamId, LongestResetAnswerFitsTheInternalText) {
  psam->SetAtr(Bytes(100, 0x3B));
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "01 02 03 04 05 06 90 00");
  InsertPsam();
  char id[64] = {};
  EXPECT_EQ(KXGetPsamID(0, id), 0);
  EXPECT_STREQ(id, "010203040506");

  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "01 02 03 04 05 06 90 00");
  char atr[201] = {};
  EXPECT_EQ(KXGetPsamIDATR(0, id, atr), 0);
  EXPECT_EQ(std::strlen(atr), 200u);
}

TEST_F(PsamId, ResetTakesOneHundredMillisecondsBeforeThePsamIsAsked) {
  psam->Expect("00 A4 00 00 02 00 16", "90 00").Expect("00 B0 00 00 06", "01 02 03 04 05 06 90 00");
  InsertPsam();
  const std::uint32_t start = backend.Now();
  char id[64];
  EXPECT_EQ(KXGetPsamID(0, id), 0);
  EXPECT_GE(backend.Now() - start, 100u);
}

}  // namespace
}  // namespace kx
