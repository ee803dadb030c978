// A whole external authentication carried through the library's raw exports
// to the simulated user card and PSAM: the host computes the factors from the
// card's reset answer and identification code, the PSAM derives the key, the
// card checks the cryptogram. Wrong factors or a wrong challenge are refused
// by the card itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "sim/default_profile.h"
#include "sim/psam.h"
#include "sim/user_card.h"
#include "tests/support/key_check.h"
#include "tests/support/sim_fixture.h"

namespace kx {
namespace {

using test::Bytes;
using test::HexBytes;

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
    return HexBytes(hex);
  }

  // The key check of UK1DF01 (DF01, card key 83, PSAM key 48 42, two levels)
  // with the card and the PSAM reached through the exports. Returns what the
  // library returned for the last APDU.
  int AuthenticateUk1Df01(test::KeyCheckFaults faults = {}) {
    KXSelectIFD(0, 12);
    const Bytes atr = Reset();
    Data(HexBytes("00A40000023F00"));
    Data(HexBytes("00A4020002EF05"));
    const Bytes record = Data(HexBytes("00B2010400"));
    EXPECT_EQ(record.size(), 18u);
    const Bytes code(record.begin() + std::min<std::size_t>(2, record.size()), record.end());
    KXSelectIFD(0, 14);
    Reset();

    int last = 1;
    auto through = [&](int slot) {
      return [&, slot](const Bytes& apdu) {
        KXSelectIFD(0, slot);
        Bytes reply;
        last = Run(apdu, &reply);
        return reply;
      };
    };
    test::CheckKey("UK1DF01", atr, code, through(12), through(14), faults);
    KXSelectIFD(0, 12);
    return last;
  }

  std::shared_ptr<sim::UserCard> card;
  std::shared_ptr<sim::Psam> psam;
};

TEST_P(SimAuthentication, CardAcceptsTheCryptogramAndGrantsTheKeysRight) {
  // Write key of DF01 EF05 not yet shown.
  KXSelectIFD(0, 12);
  Reset();
  Data(HexBytes("00A40000023F00"));
  Data(HexBytes("00A4000002DF01"));
  Data(HexBytes("00A4020002EF05"));
  EXPECT_EQ(Run(HexBytes("00DC010403200132")), -0x6982);

  ASSERT_EQ(AuthenticateUk1Df01(), 0);
  Data(HexBytes("00A4020002EF05"));
  EXPECT_EQ(Run(HexBytes("00DC010403200132")), 0);
  // Reading that file takes the PIN, not the key.
  EXPECT_EQ(Run(HexBytes("00B2010400")), -0x6982);
  EXPECT_EQ(Run(HexBytes("0020000003123456")), 0);
  Bytes reply;
  EXPECT_EQ(Run(HexBytes("00B2010400"), &reply), 0);
  EXPECT_EQ(reply, HexBytes("2001329000"));
}

TEST_P(SimAuthentication, CardRefusesSwappedFactorsAndTheWrongChallenge) {
  EXPECT_EQ(AuthenticateUk1Df01({.swapFactors = true}), -0x63C7);
  EXPECT_EQ(AuthenticateUk1Df01({.firstChallenge = true}), -0x63C6);
  Data(HexBytes("00A4020002EF05"));
  EXPECT_EQ(Run(HexBytes("00DC010403200132")), -0x6982);
  // The right one still gets through and restores the key's tries.
  EXPECT_EQ(AuthenticateUk1Df01(), 0);
  EXPECT_EQ(card->profile().keys.at({0xDF01, 0x83}).triesLeft, 8);
}

INSTANTIATE_TEST_SUITE_P(Modes, SimAuthentication,
                         ::testing::Values(AuthCase{false}, AuthCase{true}),
                         [](const ::testing::TestParamInfo<AuthCase>& info) {
                           return info.param.t0 ? std::string("T0") : std::string("Direct");
                         });

}  // namespace
}  // namespace kx
