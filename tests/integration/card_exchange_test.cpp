// Raw card access through the C ABI: the APDU exchange with its GET RESPONSE
// and Le correction, the text form, interface selection, card reset and the
// last record text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "tests/integration/card_fixture.h"

namespace kx {
namespace {

using sim::Bytes;
using test::Gbk;
using test::HexBytes;
using test::ScriptedCard;

class CardExchange : public test::CardFixture {
 protected:
  // Runs `apduHex` through KXRunApdu; the reply lands in reply/replyLength.
  int Run(const std::string& apduHex) {
    const Bytes apdu = HexBytes(apduHex);
    return KXRunApdu(0, static_cast<int>(apdu.size()), apdu.data(), &replyLength, reply);
  }
  Bytes Reply() const { return Bytes(reply, reply + replyLength); }

  int replyLength = -1;
  std::uint8_t reply[300] = {};
};

// ---------------------------------------------------------------- 61xx, 6Cxx

TEST_F(CardExchange, ResponseWaitingIsFetchedWithOneGetResponse) {
  card->Expect("80 FA 00 00 08 11 22 33 44 55 66 77 88 00", "61 10")
      .Expect("00 C0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00");
  EXPECT_EQ(Run("80 FA 00 00 08 11 22 33 44 55 66 77 88 00"), 0);
  EXPECT_EQ(replyLength, 18);
  EXPECT_EQ(Reply(), HexBytes("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00"));
  EXPECT_EQ(reader.ApdusTo(0).size(), 2u);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, GetResponseStatusWordIsTheResult) {
  card->Expect("00 A4 00 00 02 3F 00", "61 04").Expect("00 C0 00 00 04", "6A 82");
  EXPECT_EQ(Run("00 A4 00 00 02 3F 00"), -0x6A82);
  EXPECT_EQ(Reply(), HexBytes("6A 82"));
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, WrongLengthIsSentAgainWithTheCardsLe) {
  Bytes record(0x20, 0x5A);
  Bytes answer = record;
  answer.push_back(0x90);
  answer.push_back(0x00);
  card->Expect("00 B2 01 04 00", "6C 20").Expect(HexBytes("00 B2 01 04 20"), answer);
  EXPECT_EQ(Run("00 B2 01 04 00"), 0);
  EXPECT_EQ(replyLength, 0x22);
  EXPECT_EQ(Reply(), answer);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, GetResponseComesBeforeTheLeCorrection) {
  card->Expect("00 B2 01 04 00", "61 02")
      .Expect("00 C0 00 00 02", "6C 06")
      .Expect("00 B2 01 04 06", "01 02 03 04 05 06 90 00");
  EXPECT_EQ(Run("00 B2 01 04 00"), 0);
  EXPECT_EQ(replyLength, 8);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, DataThatStartWith6CAreNotSentAgain) {
  card->Expect("00 B2 01 04 00", "61 04").Expect("00 C0 00 00 04", "6C 01 02 03 90 00");
  EXPECT_EQ(Run("00 B2 01 04 00"), 0);
  EXPECT_EQ(Reply(), HexBytes("6C 01 02 03 90 00"));
  EXPECT_EQ(reader.ApdusTo(0).size(), 2u);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, EachExtraStepIsTakenOnlyOnce) {
  card->Expect("00 B2 01 04 00", "61 10").Expect("00 C0 00 00 10", "61 08");
  EXPECT_EQ(Run("00 B2 01 04 00"), -0x6108);
  EXPECT_EQ(reader.ApdusTo(0).size(), 2u);

  card->Expect("00 B2 02 04 00", "6C 10").Expect("00 B2 02 04 10", "6C 08");
  EXPECT_EQ(Run("00 B2 02 04 00"), -0x6C08);
  EXPECT_EQ(Reply(), HexBytes("6C 08"));
  EXPECT_EQ(reader.ApdusTo(0).size(), 4u);
  EXPECT_EQ(card->Problems(), "");
}

// A command without Le ends with a data byte: re-sending it with that byte
// replaced would write corrupted data, so its 6Cxx comes back as it is.
TEST_F(CardExchange, ACommandWithoutLeIsNotSentAgainOn6C) {
  const char* commands[] = {"00 D6 00 00 02 AA BB", "00 DC 01 04 03 01 01 55", "00 0E 00 00",
                            "00 D6 00 00 00 00 02 AA BB"};
  for (const char* command : commands) {
    card->Expect(command, "6C 10");
    EXPECT_EQ(Run(command), -0x6C10) << command;
    EXPECT_EQ(Reply(), HexBytes("6C 10")) << command;
  }
  EXPECT_EQ(reader.ApdusTo(0).size(), 4u);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, WarningStatusComesBackWithItsReply) {
  card->Expect("00 B0 00 00 04", "01 02 03 04 62 83").Expect("00 B0 00 00 04", "90 00");
  EXPECT_EQ(Run("00 B0 00 00 04"), -25219);
  EXPECT_EQ(replyLength, 6);
  EXPECT_EQ(Reply(), HexBytes("01 02 03 04 62 83"));
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Run("00 B0 00 00 04"), 0);
  EXPECT_EQ(replyLength, 2);
}

// ---------------------------------------------------------------- hostile cards

TEST_F(CardExchange, ReplyWithoutStatusWordCountsAsNoReply) {
  card->Expect("00 84 00 00 08", "90")
      .Expect("00 84 00 00 08", "61 08")
      .Expect("00 C0 00 00 08", "6C");
  EXPECT_EQ(Run("00 84 00 00 08"), -2);
  EXPECT_EQ(replyLength, -1);
  EXPECT_EQ(Run("00 84 00 00 08"), -2);
  EXPECT_EQ(replyLength, -1);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, EmptyReplyIsMinusTwo) {
  card->Expect("00 84 00 00 08", "");
  EXPECT_EQ(Run("00 84 00 00 08"), -2);
  EXPECT_EQ(replyLength, -1);
}

TEST_F(CardExchange, CommandLengthOutsideOneTo505IsRefusedUnsent) {
  std::vector<std::uint8_t> big(506, 0x11);
  EXPECT_EQ(KXRunApdu(0, 506, big.data(), &replyLength, reply), -12);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\ncapdu 的长度超出范围"));
  EXPECT_EQ(KXRunApdu(0, -1, big.data(), &replyLength, reply), -12);
  EXPECT_EQ(KXRunApdu(0, 0, big.data(), &replyLength, reply), -12);
  EXPECT_EQ(KXRunApdu(0, 5, nullptr, &replyLength, reply), -12);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
  EXPECT_EQ(replyLength, -1);

  // The longest command fits one frame and the re-send copy.
  big[504] = 0x00;
  Bytes corrected = Bytes(big.begin(), big.begin() + 505);
  corrected[504] = 0x02;
  card->Expect(Bytes(big.begin(), big.begin() + 505), HexBytes("6C 02"))
      .Expect(corrected, HexBytes("AA BB 90 00"));
  EXPECT_EQ(KXRunApdu(0, 505, big.data(), &replyLength, reply), 0);
  EXPECT_EQ(Reply(), HexBytes("AA BB 90 00"));
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, LongestReplyFitsTheReplyBuffer) {
  Bytes answer(293, 0xC3);
  answer.push_back(0x90);
  answer.push_back(0x00);
  card->Expect(HexBytes("00 B0 00 00 00"), answer);
  EXPECT_EQ(Run("00 B0 00 00 00"), 0);
  EXPECT_EQ(replyLength, 295);
  EXPECT_EQ(Reply(), answer);
}

// ---------------------------------------------------------------- text form

TEST_F(CardExchange, TextFormCountsHexCharacters) {
  card->Expect("00 84 00 00 08", "01 23 45 67 89 AB CD EF 90 00");
  char hex[600] = {};
  EXPECT_EQ(KXRunApduTest(0, 10, "0084000008", hex), 20);
  EXPECT_STREQ(hex, "0123456789ABCDEF9000");
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, TextFormTakesEitherCaseAndSpaces) {
  card->Expect("00 A4 00 00 02 3f 00", "90 00");
  char hex[600] = {};
  EXPECT_EQ(KXRunApduTest(0, 20, "00 a4 00 00 02 3f00", hex), 4);
  EXPECT_STREQ(hex, "9000");
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, TextFormRefusesMoreThan600Characters) {
  std::string text(601, '0');
  char hex[600] = "untouched";
  ErrorTextReplace("old");
  EXPECT_EQ(KXRunApduTest(0, 601, text.c_str(), hex), -12);
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\ncapdu 的长度超出范围"));
  EXPECT_STREQ(hex, "untouched");
  EXPECT_EQ(KXRunApduTest(0, -2, text.c_str(), hex), -12);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
  EXPECT_EQ(card->StepsRun(), 0);
}

TEST_F(CardExchange, SixHundredCharactersMakeAThreeHundredByteCommand) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "A5";
  card->ExpectAny(HexBytes("90 00"));
  char hex[600] = {};
  EXPECT_EQ(KXRunApduTest(0, 600, text.c_str(), hex), 4);
  ASSERT_EQ(card->Received().size(), 1u);
  EXPECT_EQ(card->Received()[0], Bytes(300, 0xA5));
}

TEST_F(CardExchange, TextFormRefusesABrokenPairUnsent) {
  char hex[600] = "untouched";
  EXPECT_EQ(KXRunApduTest(0, 11, "008400 0 08", hex), -12);
  EXPECT_STREQ(hex, "untouched");
  EXPECT_EQ(KXRunApduTest(0, 0, "", hex), -12);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

TEST_F(CardExchange, TextFormStopsAtTheTerminator) {
  card->Expect("00 84 00 00 08", "11 22 90 00");
  char hex[600] = {};
  EXPECT_EQ(KXRunApduTest(0, 600, "0084000008", hex), 8);
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, TextFormLeavesTheReplyAloneOnARefusal) {
  card->Expect("00 84 00 00 08", "69 85");
  char hex[600] = "untouched";
  EXPECT_EQ(KXRunApduTest(0, 10, "0084000008", hex), -0x6985);
  EXPECT_STREQ(hex, "untouched");
}

// ---------------------------------------------------------------- interface

TEST_F(CardExchange, SelectIfdMapsCodesToSlotsAndClearsTheText) {
  const struct {
    int code;
    int slot;
  } cases[] = {{12, 0}, {13, 255}, {14, 16}, {15, 17}, {99, 1}, {0, 1}, {-5, 1}, {16, 1}};
  for (const auto& c : cases) {
    ErrorTextReplace("stale");
    EXPECT_EQ(KXSelectIFD(0, c.code), 0);
    EXPECT_EQ(nIFDType, c.slot) << "code " << c.code;
    EXPECT_EQ(Text(), "");
  }
  EXPECT_TRUE(reader.Commands().empty());
}

TEST_F(CardExchange, ApdusGoToTheSelectedSlot) {
  auto psam = std::make_shared<ScriptedCard>(HexBytes("3B 02 14 50"));
  psam->Expect("00 A4 00 00 02 3F 00", "90 00");
  reader.Insert(16, psam);
  KXSelectIFD(0, 14);
  char atr[201];
  ASSERT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_EQ(Run("00 A4 00 00 02 3F 00"), 0);
  EXPECT_EQ(reader.ApdusTo(16).size(), 1u);
  EXPECT_TRUE(reader.ApdusTo(0).empty());
}

// ---------------------------------------------------------------- card reset

TEST_F(CardExchange, ResetOfTheContactCardKeepsItsAnswer) {
  ResetAnswerLength = 0;
  std::memset(ResetAnswer, 0, sizeof ResetAnswer);
  card->SetAtr(HexBytes("3B 6D 00 00 AA BB CC DD EE FF 01 02 03 04 05 06 07"));
  char atr[201] = {};
  EXPECT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_STREQ(atr, "3B6D0000AABBCCDDEEFF01020304050607");
  ASSERT_EQ(ResetAnswerLength, 17);
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + 17),
            HexBytes("3B 6D 00 00 AA BB CC DD EE FF 01 02 03 04 05 06 07"));
}

TEST_F(CardExchange, ResetOfOtherSlotsLeavesTheStoredAnswer) {
  const Bytes before(ResetAnswer, ResetAnswer + ResetAnswerLength);
  reader.Insert(255, std::make_shared<ScriptedCard>(HexBytes("3B 81 80 01 80 80")));
  reader.Insert(16, std::make_shared<ScriptedCard>(HexBytes("3B 02 14 50")));
  char atr[201] = {};
  KXSelectIFD(0, 13);
  EXPECT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_STREQ(atr, "3B8180018080");
  KXSelectIFD(0, 14);
  EXPECT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_STREQ(atr, "3B021450");
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + ResetAnswerLength), before);
}

TEST_F(CardExchange, ResetWaitsOneHundredMillisecondsFirst) {
  const std::uint32_t start = backend.Now();
  char atr[201];
  ASSERT_EQ(KXCpuReset(0, atr), 0);
  EXPECT_GE(backend.Now() - start, 100u);
  EXPECT_LT(backend.Now() - start, 200u);
}

TEST_F(CardExchange, FailedPsamResetIsMinusFiveWhateverTheReaderSaid) {
  char atr[201] = "untouched";
  KXSelectIFD(0, 14);
  EXPECT_EQ(KXCpuReset(0, atr), -5);
  EXPECT_STREQ(atr, "untouched");

  reader.Insert(16, std::make_shared<ScriptedCard>(HexBytes("3B 02 14 50")));
  reader.faults().status = 0x1004;
  reader.faults().remaining = 1;
  EXPECT_EQ(KXCpuReset(0, atr), -5);
  reader.faults().silent = true;
  reader.faults().remaining = 1;
  EXPECT_EQ(KXCpuReset(0, atr), -5);
}

TEST_F(CardExchange, FailedResetOfTheUserCardKeepsTheReadersCode) {
  const Bytes before(ResetAnswer, ResetAnswer + ResetAnswerLength);
  reader.Remove(0);
  char atr[201];
  EXPECT_EQ(KXCpuReset(0, atr), -6);
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + ResetAnswerLength), before);
}

TEST_F(CardExchange, EmptyResetAnswerIsMinusTwoOnEverySlot) {
  card->SetAtr({});
  char atr[201];
  EXPECT_EQ(KXCpuReset(0, atr), -2);
  reader.Insert(16, std::make_shared<ScriptedCard>(Bytes{}));
  KXSelectIFD(0, 14);
  EXPECT_EQ(KXCpuReset(0, atr), -2);
}

TEST_F(CardExchange, OverlongResetAnswerIsRefusedAndNotKept) {
  const Bytes before(ResetAnswer, ResetAnswer + ResetAnswerLength);
  card->SetAtr(Bytes(101, 0x3B));
  char atr[201] = "untouched";
  EXPECT_LT(KXCpuReset(0, atr), 0);
  EXPECT_STREQ(atr, "untouched");
  EXPECT_EQ(Bytes(ResetAnswer, ResetAnswer + ResetAnswerLength), before);

  card->SetAtr(Bytes(100, 0x3B));
  EXPECT_EQ(KXCpuReset(0, atr), 0);
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "3B";
  EXPECT_EQ(std::string(atr), expected);
  EXPECT_EQ(ResetAnswerLength, 100);
}

// ---------------------------------------------------------------- record text

TEST_F(CardExchange, RecordTextIsEmptyBeforeAnyRead) {
  char text[256];
  std::memset(text, 'X', sizeof text);
  EXPECT_EQ(GetCurRecordData(text), 1);
  EXPECT_EQ(text[0], '\0');
}

TEST_F(CardExchange, RecordTextFollowsEveryRecordRead) {
  card->Expect("00 B2 01 04 00", "01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F 90 00")
      .Expect("00 B2 02 04 06", "6A 83")
      .Expect("00 B2 03 04 00", "90 00");
  std::uint8_t data[300] = {};
  char text[256] = {};
  EXPECT_EQ(KXReadRecord(0, 1, 4, 0, data), 0);
  EXPECT_EQ(Bytes(data, data + 18),
            HexBytes("01 10 33 03 29 D1 56 00 00 05 00 00 60 74 BD 3D 5A 3F"));
  EXPECT_EQ(GetCurRecordData(text), 37);
  EXPECT_STREQ(text, "0110330329D15600000500006074BD3D5A3F");

  // A refused read keeps the last record's text.
  EXPECT_EQ(KXReadRecord(0, 2, 4, 6, data), -0x6A83);
  EXPECT_EQ(GetCurRecordData(text), 37);

  // An empty record is a record too.
  EXPECT_EQ(KXReadRecord(0, 3, 4, 0, data), 0);
  EXPECT_EQ(GetCurRecordData(text), 1);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(card->Problems(), "");
}

TEST_F(CardExchange, LongRecordIsReturnedWholeAndItsTextCutAtAByte) {
  Bytes record(200);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i);
  Bytes answer = record;
  answer.push_back(0x90);
  answer.push_back(0x00);
  card->Expect(HexBytes("00 B2 01 04 C8"), answer);
  std::uint8_t data[300] = {};
  EXPECT_EQ(KXReadRecord(0, 1, 4, 200, data), 0);
  EXPECT_EQ(Bytes(data, data + 200), record);

  char text[300];
  std::memset(text, 'X', sizeof text);
  EXPECT_EQ(GetCurRecordData(text), 255);
  EXPECT_EQ(std::strlen(text), 254u);
  EXPECT_EQ(std::string(text, 4), "0001");
  EXPECT_EQ(std::string(text + 250, 4), "7D7E");
  EXPECT_EQ(text[256], 'X');
}

TEST_F(CardExchange, UpdateRecordSendsItsDataAndRefusesAnOversizeLc) {
  card->Expect("00 DC 02 04 03 AA BB CC", "90 00").Expect("00 DC 02 04 03 AA BB CC", "69 82");
  const std::uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(KXUpdateRecord(0, 2, 4, 3, data), 0);
  EXPECT_EQ(KXUpdateRecord(0, 2, 4, 3, data), -0x6982);

  std::vector<std::uint8_t> big(300, 0x01);
  EXPECT_EQ(KXUpdateRecord(0, 2, 4, 256, big.data()), -12);
  EXPECT_EQ(KXUpdateRecord(0, 2, 4, -1, big.data()), -12);
  EXPECT_EQ(reader.ApdusTo(0).size(), 2u);
  EXPECT_EQ(card->Problems(), "");
}

// ---------------------------------------------------------------- no-ops

TEST_F(CardExchange, InternalAuthAndCardLockTouchNothing) {
  ErrorTextReplace("kept");
  const int slot = nIFDType;
  EXPECT_EQ(KXInternalAuth(7), 0);
  EXPECT_EQ(KXCardLock(-1), 0);
  EXPECT_TRUE(reader.trace().empty());
  EXPECT_EQ(Text(), "kept");
  EXPECT_EQ(nIFDType, slot);
}

}  // namespace
}  // namespace kx
