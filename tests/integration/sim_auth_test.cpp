// A whole external authentication carried through the library's raw exports
// to the simulated user card and PSAM: the host computes the factors from the
// card's reset answer and identification code, the PSAM derives the key, the
// card checks the cryptogram. Wrong factors or a wrong challenge are refused
// by the card itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "sim/default_profile.h"
#include "sim/psam.h"
#include "sim/user_card.h"
#include "tests/support/sim_fixture.h"

namespace kx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const char* hex) {
  Bytes out;
  for (std::size_t k = 0; hex[k] != '\0' && hex[k + 1] != '\0'; k += 2) {
    unsigned value = 0;
    std::sscanf(hex + k, "%2x", &value);
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Ascii(const char* text) {
  return Bytes(text, text + std::strlen(text));
}

enum class Fault { None, SwappedFactors, FirstChallenge };

struct AuthCase {
  bool t0;
};

class SimAuthentication : public test::SimFixture, public ::testing::WithParamInterface<AuthCase> {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    sim::CardProfile profile = sim::DefaultCardProfile();
    profile.t0 = GetParam().t0;
    card = std::make_shared<sim::UserCard>(profile);
    sim::PsamProfile psamProfile = sim::DefaultPsamProfile();
    psamProfile.t0 = GetParam().t0;
    psam = std::make_shared<sim::Psam>(psamProfile);
    reader.Insert(0, card);
    reader.Insert(16, psam);
    ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
  }

  // One APDU to the selected card; the reply (data and status) in *reply.
  int Run(const Bytes& command, Bytes* reply = nullptr) {
    unsigned char buffer[300] = {};
    int length = 0;
    const int code =
        KXRunApdu(0, static_cast<int>(command.size()), command.data(), &length, buffer);
    if (reply != nullptr) reply->assign(buffer, buffer + (length > 0 ? length : 0));
    return code;
  }
  Bytes Data(const Bytes& command) {
    Bytes reply;
    EXPECT_EQ(Run(command, &reply), 0);
    return reply.size() >= 2 ? Bytes(reply.begin(), reply.end() - 2) : Bytes{};
  }
  Bytes Reset() {
    char hex[201] = {};
    EXPECT_EQ(KXCpuReset(0, hex), 0);
    return FromHex(hex);
  }

  // Key UK1DF01: DF01, card key 83, PSAM key 48 42, two levels.
  int AuthenticateUk1Df01(Fault fault) {
    KXSelectIFD(0, 12);
    const Bytes atr = Reset();
    Data(FromHex("00A40000023F00"));
    Data(FromHex("00A4020002EF05"));
    const Bytes record = Data(FromHex("00B2010400"));
    EXPECT_EQ(record.size(), 18u);
    if (record.size() < 4) return 1;
    const Bytes code(record.begin() + 2, record.end());

    // The card factor: 8 bytes from index length - K + 5, K historical bytes.
    const std::size_t start = atr.size() - (atr[1] & 0x0F) + 5;
    EXPECT_LE(start + 8, atr.size());
    const Bytes cardFactor(atr.begin() + start, atr.begin() + start + 8);
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X00sx", code[0], code[1]);
    const Bytes factor2 = Ascii(text);

    Data(FromHex("00A40000023F00"));
    Data(FromHex("00A4020002DF01"));
    const Bytes challenge1 = Data(FromHex("0084000008"));
    const Bytes challenge2 = Data(FromHex("0084000008"));

    KXSelectIFD(0, 14);
    Reset();
    Data(FromHex("00A40000023F00"));
    Data(FromHex("00A4000002DF01"));
    Bytes diversification;
    switch (fault) {
      case Fault::None:
        diversification = Join({cardFactor, factor2, challenge2});
        break;
      case Fault::SwappedFactors:
        diversification = Join({factor2, cardFactor, challenge2});
        break;
      case Fault::FirstChallenge:
        diversification = Join({cardFactor, factor2, challenge1});
        break;
    }
    Data(Join({FromHex("BFDE484218"), diversification}));
    const Bytes cryptogram = Data(Join({FromHex("80FA000008"), challenge1, FromHex("00")}));
    EXPECT_EQ(cryptogram.size(), 8u);

    KXSelectIFD(0, 12);
    return Run(Join({FromHex("0082008310"), cryptogram, challenge1}));
  }

  std::shared_ptr<sim::UserCard> card;
  std::shared_ptr<sim::Psam> psam;
};

TEST_P(SimAuthentication, CardAcceptsTheCryptogramAndGrantsTheKeysRight) {
  // Write key of DF01 EF05 not yet shown.
  KXSelectIFD(0, 12);
  Reset();
  Data(FromHex("00A40000023F00"));
  Data(FromHex("00A4000002DF01"));
  Data(FromHex("00A4020002EF05"));
  EXPECT_EQ(Run(FromHex("00DC010403200132")), -0x6982);

  ASSERT_EQ(AuthenticateUk1Df01(Fault::None), 0);
  Data(FromHex("00A4020002EF05"));
  EXPECT_EQ(Run(FromHex("00DC010403200132")), 0);
  // Reading that file takes the PIN, not the key.
  EXPECT_EQ(Run(FromHex("00B2010400")), -0x6982);
  EXPECT_EQ(Run(FromHex("0020000003123456")), 0);
  Bytes reply;
  EXPECT_EQ(Run(FromHex("00B2010400"), &reply), 0);
  EXPECT_EQ(reply, FromHex("2001329000"));
}

TEST_P(SimAuthentication, CardRefusesSwappedFactorsAndTheWrongChallenge) {
  EXPECT_EQ(AuthenticateUk1Df01(Fault::SwappedFactors), -0x63C7);
  EXPECT_EQ(AuthenticateUk1Df01(Fault::FirstChallenge), -0x63C6);
  Data(FromHex("00A4020002EF05"));
  EXPECT_EQ(Run(FromHex("00DC010403200132")), -0x6982);
  // The right one still gets through and restores the key's tries.
  EXPECT_EQ(AuthenticateUk1Df01(Fault::None), 0);
  EXPECT_EQ(card->profile().keys.at({0xDF01, 0x83}).triesLeft, 8);
}

INSTANTIATE_TEST_SUITE_P(Modes, SimAuthentication,
                         ::testing::Values(AuthCase{false}, AuthCase{true}),
                         [](const ::testing::TestParamInfo<AuthCase>& info) {
                           return info.param.t0 ? std::string("T0") : std::string("Direct");
                         });

}  // namespace
}  // namespace kx
