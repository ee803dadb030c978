// The simulated user card through its APDUs: file selection, records and
// binaries, the access conditions it enforces, the PIN and key try counters,
// T=0 behaviour, and what survives a power cycle.
#include "sim/user_card.h"

#include <gtest/gtest.h>

#include "sim/keys.h"
#include "sim/psam.h"
#include "tests/sim/card_support.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

using kx::sim::CardProfile;
using kx::sim::Psam;
using kx::sim::UserCard;

const char kIdentificationCode[] = "330329D15600000500006074BD3D5A3F";

class SimCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    card.SeedChallenges(7);
    card.PowerOn();
  }
  void PowerCycle() {
    card.PowerOff();
    card.PowerOn();
  }
  std::uint16_t Select(const std::string& path) { return Sw(Send(card, "00A4" + path)); }
  std::uint16_t VerifyPin(const std::string& digits) {
    return Sw(Send(card, "0020000003" + digits));
  }
  // Opens DDDD EEEE the way the read services do: MF, the DF by P1 00, the EF by P1 02.
  void Open(const std::string& directory, const std::string& file) {
    ASSERT_EQ(Select("0000023F00"), 0x9000);
    if (directory != "3F00") {
      ASSERT_EQ(Select("000002" + directory), 0x9000);
    }
    ASSERT_EQ(Select("020002" + file), 0x9000);
  }

  // A PSAM-made secured command (PIN reset, application lock): two
  // challenges, the MF key diversified with the card's factors and the second
  // one, `plain` enciphered, then a MAC over the command with the cryptogram.
  Bytes Secured(const Bytes& header, const std::string& keyName, const Bytes& plainBlock,
                bool appendFirstChallenge, bool spoilMac = false) {
    const Bytes c1 = Data(Send(card, "0084000008"));
    const Bytes c2 = Data(Send(card, "0084000008"));
    const CardKeyInfoRow* key = KeyNamed(keyName);
    EXPECT_NE(key, nullptr) << keyName;
    if (key == nullptr) return {};
    const Bytes diversify = Header({0xBF, 0xDE, key->psamUsage.value, key->psamIndex.value},
                                   DiversificationData(FactorsOf(card), key->levels, c2));
    psam.PowerOn();
    Send(psam, "00A40000023F00");
    Send(psam, "00A4000002DF01");
    EXPECT_EQ(Sw(psam.Transmit(diversify)), 0x9000);
    // Without the first challenge appended, a non-empty block stands in for it.
    const Bytes plain =
        appendFirstChallenge ? Concat({plainBlock, c1}) : (plainBlock.empty() ? c1 : plainBlock);
    const Bytes enciphered = Data(psam.Transmit(Header({0x80, 0xFA, 0x00, 0x00}, plain)));
    const Bytes cryptogram(enciphered.begin(), enciphered.begin() + 8);
    EXPECT_EQ(Sw(psam.Transmit(diversify)), 0x9000);
    const Bytes macInput = Concat({Bytes(8, 0x00), header, {0x0C}, cryptogram, {0x80, 0x00, 0x00}});
    Bytes mac = Data(psam.Transmit(Header({0x80, 0xFA, 0x05, 0x00}, macInput)));
    mac.resize(4);
    if (spoilMac) mac[3] ^= 0x01;
    return Concat({header, {0x0C}, cryptogram, mac});
  }

  UserCard card;
  Psam psam;
};

// ------------------------------------------------------------ selection

TEST_F(SimCardTest, MasterFileNamesItselfOrIsFoundByItsName) {
  const std::string name = Gbk("sx1.sh.社会保障");
  const Bytes reply = Send(card, "00A40000023F00");
  ASSERT_EQ(Sw(reply), 0x9000);
  // The reply read as a C string holds the name.
  EXPECT_NE(std::string(reinterpret_cast<const char*>(reply.data())).find(name), std::string::npos);

  card.SetMfNameInSelectReply(false);
  const Bytes bare = Send(card, "00A40000023F00");
  ASSERT_EQ(Sw(bare), 0x9000);
  EXPECT_EQ(std::string(bare.begin(), bare.end()).find(name), std::string::npos);
  const Bytes byName =
      card.Transmit(Header({0x00, 0xA4, 0x04, 0x00}, Bytes(name.begin(), name.end())));
  EXPECT_EQ(Sw(byName), 0x9000);
  EXPECT_NE(std::string(byName.begin(), byName.end()).find(name), std::string::npos);
  EXPECT_EQ(Sw(Send(card, "00A404000F" + std::string(30, 'A'))), 0x6A82);
}

TEST_F(SimCardTest, SelectionFollowsTheDirectoryTree) {
  EXPECT_EQ(Select("000003DF01"), 0x6700);
  EXPECT_EQ(Select("0000022F01"), 0x6A82);
  EXPECT_EQ(Select("000002DF01"), 0x9000);
  // Another DF by identifier from a DF; by P1 02 only from the MF.
  EXPECT_EQ(Select("000002DF0A"), 0x9000);
  EXPECT_EQ(Select("020002DF01"), 0x6A82);
  EXPECT_EQ(Select("000C023F00"), 0x9000);
  EXPECT_EQ(Select("020002DF01"), 0x9000);
  // EFs of the current directory only.
  EXPECT_EQ(Select("020002EF07"), 0x9000);
  EXPECT_EQ(Select("020002EF0C"), 0x6A82);
  EXPECT_EQ(Select("000002EF08"), 0x9000);
  EXPECT_EQ(Select("010002DF01"), 0x6A86);
  EXPECT_EQ(Select("000102DF01"), 0x6A86);
}

// ------------------------------------------------------------ records and binaries

TEST_F(SimCardTest, RecordsAreTagLengthValueImagesOfTheDictionary) {
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x6986);
  Open("3F00", "EF05");
  EXPECT_EQ(HexText(Data(Send(card, "00B2010400"))),
            HexText(Concat({{0x01, 0x10}, HexBytes(kIdentificationCode)})));
  const Bytes number = Data(Send(card, "00B2070400"));
  EXPECT_EQ(std::string(number.begin() + 2, number.end()), "K12345678");
  EXPECT_EQ(Sw(Send(card, "00B2080400")), 0x6A83);
  EXPECT_EQ(Sw(Send(card, "00B2010C00")), 0x6A86);
  EXPECT_EQ(Sw(Send(card, "00B0000010")), 0x6981);

  // Raw records of a file whose items have no tag.
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  Open("DF04", "EF08");
  EXPECT_EQ(HexText(Data(Send(card, "00B2030400"))), "33 03 29 00 00 01");
  EXPECT_EQ(Sw(Send(card, "00B2040400")), 0x6A83);
}

TEST_F(SimCardTest, WithoutT0TheWholeRecordComesBackWhateverTheLe) {
  Open("3F00", "EF05");
  EXPECT_EQ(Data(Send(card, "00B2010406")).size(), 18u);
  EXPECT_EQ(Data(Send(card, "00B20104FF")).size(), 18u);
  Open("3F00", "EF07");
  const Bytes fingerprint = Data(Send(card, "00B0000080"));
  ASSERT_EQ(fingerprint.size(), 128u);
  EXPECT_EQ(std::string(fingerprint.begin(), fingerprint.begin() + 3), "FMR");
  // The end of the file cuts the read short; past it nothing is read.
  EXPECT_EQ(Data(Send(card, "00B002F080")).size(), 16u);
  EXPECT_EQ(Sw(Send(card, "00B0030001")), 0x6B00);
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x6981);
}

TEST_F(SimCardTest, T0CardAsksForTheRightLeAndParksSelectReplies) {
  card.SetT0(true);
  const Bytes select = Send(card, "00A40000023F00");
  ASSERT_EQ(select.size(), 2u);
  EXPECT_EQ(select[0], 0x61);
  EXPECT_EQ(Sw(Send(card, "00C00000" + HexText({select[1]}))), 0x9000);
  ASSERT_EQ(Select("020002EF05"), 0x9000);  // an EF has nothing to return

  EXPECT_EQ(HexText(Send(card, "00B2010400")), "6C 12");
  EXPECT_EQ(HexText(Send(card, "00B20104FF")), "6C 12");
  EXPECT_EQ(HexText(Send(card, "00B2020406")), "6C 03");
  EXPECT_EQ(Send(card, "00B2010412").size(), 20u);
  EXPECT_EQ(HexText(Send(card, "0084000000")), "6C 08");
  EXPECT_EQ(Send(card, "0084000008").size(), 10u);

  ASSERT_EQ(Select("020002EF07"), 0x9000);
  EXPECT_EQ(HexText(Send(card, "00B002F080")), "6C 10");
  EXPECT_EQ(Send(card, "00B002F010").size(), 18u);

  // The library's exchange gets through either way.
  ASSERT_EQ(Select("020002EF05"), 0x9000);
  card.SetT0(false);
  const Bytes direct = Exchange(card, "00B2010400");
  card.SetT0(true);
  EXPECT_EQ(Exchange(card, "00B2010400"), direct);
}

TEST_F(SimCardTest, GetChallengeGivesFreshBytesOfTheAskedLength) {
  const Bytes a = Send(card, "0084000008");
  const Bytes b = Send(card, "0084000008");
  ASSERT_EQ(a.size(), 10u);
  EXPECT_NE(a, b);
  EXPECT_EQ(Send(card, "0084000004").size(), 6u);
  EXPECT_EQ(Sw(Send(card, "0084000010")), 0x6700);
  EXPECT_EQ(Sw(Send(card, "0084010008")), 0x6A86);
}

// ------------------------------------------------------------ access conditions

TEST_F(SimCardTest, PinGuardedFileOpensOnceThePinIsVerified) {
  Open("DF01", "EF05");
  EXPECT_EQ(Sw(Send(card, "00B2020400")), 0x6982);
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  const Bytes address = Data(Send(card, "00B2020400"));
  ASSERT_EQ(address.size(), 64u);
  EXPECT_EQ(address[0], 0x21);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(address.data() + 2)),
            Gbk("浙江省温州市泰顺县示范镇幸福路1号"));
  // The PIN holds across directories until the card loses power.
  Open("DF02", "EF05");
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x9000);
  PowerCycle();
  Open("DF02", "EF05");
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x6982);
}

TEST_F(SimCardTest, KeyRightHoldsInItsDirectoryUntilAnotherIsSelectedOrPowerIsLost) {
  Open("DF0B", "EF0C");
  EXPECT_EQ(Sw(Send(card, "00B0000080")), 0x6982);
  ASSERT_EQ(Authenticate(card, psam, "RK1DF0B"), 0x9000);
  ASSERT_EQ(Select("020002EF0C"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B0000080")), 0x9000);
  // Re-selecting the same directory keeps the right.
  ASSERT_EQ(Select("000002DF0B"), 0x9000);
  ASSERT_EQ(Select("020002EF0C"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B0000080")), 0x9000);

  Open("DF0C", "EF0C");
  Open("DF0B", "EF0C");
  EXPECT_EQ(Sw(Send(card, "00B0000080")), 0x6982);

  ASSERT_EQ(Authenticate(card, psam, "RK1DF0B"), 0x9000);
  PowerCycle();
  Open("DF0B", "EF0C");
  EXPECT_EQ(Sw(Send(card, "00B0000080")), 0x6982);
}

TEST_F(SimCardTest, PinAndKeyNeedsBothPinOrKeyEither) {
  // DF03 EF05: "PIN&RK2DF03".
  ASSERT_EQ(Authenticate(card, psam, "RK2DF03"), 0x9000);
  ASSERT_EQ(Select("020002EF05"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B2020400")), 0x6982);
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B2020400")), 0x9000);
  PowerCycle();
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  Open("DF03", "EF05");
  EXPECT_EQ(Sw(Send(card, "00B2020400")), 0x6982);

  // DF01 EF07: "PIN|UK2DF01"; DF01 EF09: "UK2DF01|PIN".
  PowerCycle();
  ASSERT_EQ(Authenticate(card, psam, "UK2DF01"), 0x9000);
  ASSERT_EQ(Select("020002EF07"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x9000);
  ASSERT_EQ(Select("020002EF09"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x9000);
  PowerCycle();
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  Open("DF01", "EF09");
  EXPECT_EQ(Sw(Send(card, "00B2010400")), 0x9000);
}

TEST_F(SimCardTest, WritesNeedTheWriteKeyAndSurvivePowerCycles) {
  int changes = 0;
  card.SetOnChange([&](const CardProfile&) { ++changes; });
  const Bytes record = Concat({{0x01, 0x10}, HexBytes("340329D1560000050000999900000000")});
  Open("3F00", "EF05");
  EXPECT_EQ(Sw(card.Transmit(Header({0x00, 0xDC, 0x01, 0x04}, record))), 0x6982);
  ASSERT_EQ(Authenticate(card, psam, "UKMF"), 0x9000);
  ASSERT_EQ(Select("020002EF05"), 0x9000);
  EXPECT_EQ(
      Sw(card.Transmit(Header({0x00, 0xDC, 0x01, 0x04}, Bytes(record.begin(), record.end() - 1)))),
      0x6700);
  EXPECT_EQ(Sw(card.Transmit(Header({0x00, 0xDC, 0x09, 0x04}, record))), 0x6A83);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(Sw(card.Transmit(Header({0x00, 0xDC, 0x01, 0x04}, record))), 0x9000);
  EXPECT_EQ(changes, 1);

  PowerCycle();
  Open("3F00", "EF05");
  EXPECT_EQ(Data(Send(card, "00B2010400")), record);
  // The keys stay those the card was made with: factors taken from the new
  // code no longer fit them.
  EXPECT_EQ(Authenticate(card, psam, "UKMF"), 0x63C7);
}

TEST_F(SimCardTest, BinaryWritesStayInsideTheFile) {
  ASSERT_EQ(Authenticate(card, psam, "UK1DF0B"), 0x9000);
  ASSERT_EQ(Select("020002EF0C"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00D600FE04 01020304")), 0x6A84);
  EXPECT_EQ(Sw(Send(card, "00D6010001 01")), 0x6B00);
  EXPECT_EQ(Sw(Send(card, "00D600FC04 0A0B0C0D")), 0x9000);
  // Reading needs the read key.
  EXPECT_EQ(Sw(Send(card, "00B000FC04")), 0x6982);
  PowerCycle();
  ASSERT_EQ(Authenticate(card, psam, "RK1DF0B"), 0x9000);
  ASSERT_EQ(Select("020002EF0C"), 0x9000);
  EXPECT_EQ(HexText(Send(card, "00B000FC04")), "0A 0B 0C 0D 90 00");
}

TEST_F(SimCardTest, FileWhoseWriteKeyTheCardLacksCannotBeWritten) {
  // DF04 EF08 is written by the card's own operating system only.
  ASSERT_EQ(VerifyPin("123456"), 0x9000);
  ASSERT_EQ(Authenticate(card, psam, "UK1DF04"), 0x9000);
  ASSERT_EQ(Select("020002EF08"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00DC010402 0002")), 0x6982);
}

// ------------------------------------------------------------ external authentication

TEST_F(SimCardTest, WrongFactorsOrChallengeAreRefusedAndCounted) {
  EXPECT_EQ(Authenticate(card, psam, "UK1DF01", {.swapFactors = true}), 0x63C7);
  EXPECT_EQ(Authenticate(card, psam, "UK1DF01", {.firstChallenge = true}), 0x63C6);
  // A refusal grants nothing.
  ASSERT_EQ(Select("020002EF05"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "00DC010403 200131")), 0x6982);
  // Success restores the tries.
  EXPECT_EQ(Authenticate(card, psam, "UK1DF01"), 0x9000);
  EXPECT_EQ(card.profile().keys.at({0xDF01, 0x83}).triesLeft, 8);
  // Authenticating a DF key while the MF is current finds no such key.
  EXPECT_EQ(Sw(Send(card, "00A40000023F00")), 0x9000);
  EXPECT_EQ(Authenticate(card, psam, "UK1DF01", {.skipSelection = true}), 0x6A88);
}

TEST_F(SimCardTest, EachChallengeAnswersOneAuthentication) {
  EXPECT_EQ(Sw(Send(card, "0082000410 00000000000000000000000000000000")), 0x6984);
  ASSERT_EQ(Sw(Send(card, "0084000008")), 0x9000);
  EXPECT_EQ(Sw(Send(card, "0082000410 00000000000000000000000000000000")), 0x63C7);
  EXPECT_EQ(Sw(Send(card, "0082000410 00000000000000000000000000000000")), 0x6984);
  ASSERT_EQ(Sw(Send(card, "0084000008")), 0x9000);
  EXPECT_EQ(Sw(Send(card, "008200040F 000000000000000000000000000000")), 0x6700);
}

TEST_F(SimCardTest, KeyBlocksAfterItsLastTryEvenForTheRightCryptogram) {
  for (int left = 7; left >= 1; --left) {
    ASSERT_EQ(Authenticate(card, psam, "RKMF", {.swapFactors = true}), 0x63C0 | left);
  }
  EXPECT_EQ(Authenticate(card, psam, "RKMF", {.swapFactors = true}), 0x6983);
  EXPECT_EQ(Authenticate(card, psam, "RKMF"), 0x6983);
  PowerCycle();
  EXPECT_EQ(Authenticate(card, psam, "RKMF"), 0x6983);
  // Other keys are not affected.
  EXPECT_EQ(Authenticate(card, psam, "UKMF"), 0x9000);
}

TEST_F(SimCardTest, IdentityRewriteAsTheIdentityServiceRunsIt) {
  for (bool t0 : {false, true}) {
    card.SetT0(t0);
    psam.SetT0(t0);
    PowerCycle();
    // The current code, read with Le FF.
    ASSERT_EQ(Sw(Exchange(card, "00A40000023F00")), 0x9000);
    ASSERT_EQ(Sw(Exchange(card, "00A4020002EF05")), 0x9000);
    const Bytes current = Data(Exchange(card, "00B20104FF"));
    ASSERT_EQ(current.size(), 18u);
    const Bytes region = HexBytes("330329"), serial = HexBytes("00001234");
    const Bytes head = Concat({region, Bytes(current.begin() + 5, current.begin() + 10), serial});

    // Check bytes: the IRK diversified with the region's factors and zeros.
    const sim::Block8 cardFactor = sim::CardFactorFromAtr(card.profile().atr);
    const Bytes factor2 = {'3', '3', '0', '3', '0', '0', 's', 'x'};
    const Bytes factor1 = {'3', '3', '0', '0', '0', '0', 's', 'h'};
    psam.PowerOn();
    ASSERT_EQ(Sw(Exchange(psam, "00A40000023F00")), 0x9000);
    ASSERT_EQ(Sw(Exchange(psam, "00A4040006D15600000590")), 0x9000);
    ASSERT_EQ(
        Sw(Exchange(psam, Header({0xBF, 0xDE, 0x67, 0x08},
                                 Concat({FromBlock(cardFactor), factor2, factor1, Bytes(8, 0)})))),
        0x9000);
    const Bytes check =
        Data(Exchange(psam, Header({0x80, 0xFA, 0x00, 0x00}, Concat({head, Bytes(4, 0)}))));
    ASSERT_EQ(check.size(), 16u);
    const Bytes code = Concat({head, Bytes(check.begin() + 8, check.begin() + 12)});

    // UKMF by the region's second factor, the PSAM not reset again.
    ASSERT_EQ(Sw(Exchange(card, "00A40000023F00")), 0x9000);
    const Bytes r1 = Data(Exchange(card, "0084000008"));
    const Bytes r2 = Data(Exchange(card, "0084000008"));
    ASSERT_EQ(Sw(Exchange(psam, "00A40000023F00")), 0x9000);
    ASSERT_EQ(Sw(Exchange(psam, "00A4000002DF01")), 0x9000);
    ASSERT_EQ(Sw(Exchange(psam, Header({0xBF, 0xDE, 0x48, 0x12},
                                       Concat({FromBlock(cardFactor), factor2, r2})))),
              0x9000);
    const Bytes cryptogram = Data(Exchange(psam, Header({0x80, 0xFA, 0x00, 0x00}, r1)));
    ASSERT_EQ(Sw(Exchange(card, Header({0x00, 0x82, 0x00, 0x04}, Concat({cryptogram, r1})))),
              0x9000);
    ASSERT_EQ(Sw(Exchange(card, "00A4020002EF05")), 0x9000);
    ASSERT_EQ(Sw(Exchange(card, Header({0x00, 0xDC, 0x01, 0x04}, Concat({{0x01, 0x10}, code})))),
              0x9000);
    EXPECT_EQ(sim::IdentificationCode(card.profile()), code);
  }
}

// ------------------------------------------------------------ PIN

TEST_F(SimCardTest, PinTriesCountDownToBlockedAndSurvivePowerCycles) {
  EXPECT_EQ(Sw(Send(card, "0020000000")), 0x63C3);
  EXPECT_EQ(VerifyPin("111111"), 0x63C2);
  EXPECT_EQ(VerifyPin("123456"), 0x9000);
  EXPECT_EQ(Sw(Send(card, "0020000000")), 0x9000);
  EXPECT_EQ(VerifyPin("111111"), 0x63C2);
  PowerCycle();
  EXPECT_EQ(VerifyPin("222222"), 0x63C1);
  EXPECT_EQ(VerifyPin("333333"), 0x6983);
  EXPECT_EQ(VerifyPin("123456"), 0x6983);
  PowerCycle();
  EXPECT_EQ(VerifyPin("123456"), 0x6983);
  EXPECT_EQ(card.profile().pinTriesLeft, 0);
  EXPECT_EQ(Sw(Send(card, "0020000007 12345612345612")), 0x6700);
  EXPECT_EQ(Sw(Send(card, "0020000103 123456")), 0x6A86);
}

TEST_F(SimCardTest, ChangePinNeedsTheOldOne) {
  EXPECT_EQ(Sw(Send(card, "805E010007 111111 FF 654321")), 0x63C2);
  EXPECT_EQ(Sw(Send(card, "805E010007 123456 FF 6543A1")), 0x6A80);
  EXPECT_EQ(Sw(Send(card, "805E010006 123456 654321")), 0x6A80);
  EXPECT_EQ(Sw(Send(card, "805E010007 123456 FF 654321")), 0x9000);
  PowerCycle();
  EXPECT_EQ(VerifyPin("123456"), 0x63C2);
  EXPECT_EQ(VerifyPin("654321"), 0x9000);
  EXPECT_EQ(card.profile().pinTriesLeft, 3);
}

TEST_F(SimCardTest, PinResetNeedsTheUnblockKeyAndAValidMac) {
  for (const char* wrong : {"000000", "000001", "000002"}) VerifyPin(wrong);
  ASSERT_EQ(VerifyPin("123456"), 0x6983);
  const Bytes header = {0x84, 0x24, 0x00, 0x01};
  const Bytes pinBlock = HexBytes("03 246810 80000000");

  // Without the PUK authenticated in the MF.
  ASSERT_EQ(Select("000C023F00"), 0x9000);
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "STKMF", pinBlock, true))), 0x6982);

  ASSERT_EQ(Authenticate(card, psam, "PUK"), 0x9000);
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "STKMF", pinBlock, true, /*spoilMac=*/true))), 0x6988);
  EXPECT_EQ(card.profile().pinTriesLeft, 0);
  // The MAC made under another key is as bad as a spoilt one.
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "BK", pinBlock, true))), 0x6988);
  ASSERT_EQ(Sw(Send(card, "00A40000023F00")), 0x9000);  // the same MF: the right stays
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "STKMF", pinBlock, true))), 0x9000);
  EXPECT_EQ(card.profile().pinTriesLeft, 3);
  EXPECT_EQ(VerifyPin("246810"), 0x9000);
}

TEST_F(SimCardTest, LockedApplicationCannotBeSelectedAnyMore) {
  const Bytes header = {0x84, 0x1E, 0x00, 0x01};
  ASSERT_EQ(Select("000C023F00"), 0x9000);
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "BK", {}, false))), 0x6985);
  ASSERT_EQ(Select("000002DF02"), 0x9000);
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "BK", {}, false, /*spoilMac=*/true))), 0x6988);
  // A good MAC over the cryptogram of another value than the first challenge.
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "BK", Bytes(8, 0x11), false))), 0x6988);
  EXPECT_TRUE(card.profile().lockedDirectories.empty());
  EXPECT_EQ(Sw(card.Transmit(Secured(header, "BK", {}, false))), 0x9000);
  // Inside the locked application everything is refused; from outside it
  // cannot be selected any more.
  EXPECT_EQ(Select("020002EF05"), 0x9300);
  PowerCycle();
  EXPECT_EQ(Select("000002DF02"), 0x6A81);
  EXPECT_EQ(Select("000002DF03"), 0x9000);
  EXPECT_EQ(card.profile().lockedDirectories.count(0xDF02), 1u);
}

TEST_F(SimCardTest, UnknownCommandsAndMalformedApdusAreRefused) {
  EXPECT_EQ(Sw(Send(card, "00CA9F7F00")), 0x6D00);
  EXPECT_EQ(Sw(Send(card, "A0A40000023F00")), 0x6E00);
  EXPECT_EQ(Sw(Send(card, "00A4")), 0x6700);
  EXPECT_EQ(Sw(Send(card, "00A40000053F00")), 0x6700);
  EXPECT_EQ(Sw(Send(card, "00C0000008")), 0x6985);
}

}  // namespace
}  // namespace kx::test
