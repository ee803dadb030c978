// The simulated card's profile: the default cardholder, its keys, and the
// profile file that kx-sim loads and saves.
#include "sim/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/card_layout.h"
#include "sim/default_profile.h"
#include "sim/keys.h"
#include "sim/personalise.h"
#include "sim/profile_text.h"
#include "tests/sim/card_support.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

using kx::sim::CardProfile;
using kx::sim::SimProfile;

std::string Packed(const Bytes& bytes) {
  std::string text = HexText(bytes);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

std::string AsText(const sim::Block8& block) {
  return std::string(block.begin(), block.end());
}

TEST(SimCardProfileTest, DefaultCardholderFillsEveryItemOfTheCard) {
  const CardProfile card = sim::DefaultCardProfile();
  for (const sim::FileLayout& file : sim::CardFileLayout()) {
    const auto content = card.files.find({file.directory, file.file});
    ASSERT_NE(content, card.files.end());
    if (file.IsTransparent()) {
      EXPECT_EQ(content->second.binary.size(), static_cast<std::size_t>(file.binarySize));
      continue;
    }
    for (const sim::RecordLayout& layout : file.records) {
      const auto it = content->second.records.find(layout.number);
      ASSERT_NE(it, content->second.records.end())
          << std::hex << file.directory << " " << file.file;
      const Bytes& record = it->second;
      ASSERT_EQ(record.size(), static_cast<std::size_t>(layout.Size()));
      const std::size_t start = layout.tag != 0 ? 2 : 0;
      if (layout.tag != 0) {
        EXPECT_EQ(record[0], layout.tag);
        EXPECT_EQ(record[1], layout.valueLength);
      }
      const Bytes value(record.begin() + start, record.end());
      EXPECT_NE(value, Bytes(value.size(), 0x00)) << "empty item " << std::hex << file.directory
                                                  << " " << file.file << " " << layout.number;
      if (layout.type == sim::ItemType::Text) {
        // Texts are whole GBK characters, never cut in the middle of one.
        const std::string text(value.begin(), std::find(value.begin(), value.end(), 0x00));
        EXPECT_NO_THROW(Utf8(text)) << HexText(value);
      }
    }
  }
  EXPECT_EQ(HexText(card.pin), "12 34 56");
  const Bytes name = card.files.at({0x3F00, 0xEF06}).records.at(2);
  EXPECT_EQ(std::string(name.begin() + 2, name.begin() + 6), Gbk("张三"));
  EXPECT_EQ(HexText(card.files.at({0x3F00, 0xEF05}).records.at(5)), "05 04 20 12 01 01");
}

TEST(SimCardProfileTest, FactorsFollowTheResetAnswerAndTheIdentificationCode) {
  const CardProfile card = sim::DefaultCardProfile();
  EXPECT_EQ(HexText(sim::IdentificationCode(card)),
            HexText(HexBytes("330329D15600000500006074BD3D5A3F")));
  // 13 historical bytes and no check byte: the card factor is historical
  // bytes 6 to 13, the last 8 bytes of the answer.
  ASSERT_EQ(card.atr[1] & 0x0F, 13);
  ASSERT_EQ(card.atr.size(), 4u + 13u);
  const sim::DiversificationFactors f = sim::FactorsFor(card.atr, sim::IdentificationCode(card));
  EXPECT_EQ(FromBlock(f.cardFactor), Bytes(card.atr.end() - 8, card.atr.end()));
  EXPECT_EQ(AsText(f.factor1), "330000sh");
  EXPECT_EQ(AsText(f.factor2), "330300sx");
  EXPECT_EQ(AsText(sim::FactorsFor(card.atr, HexBytes("AB0C")).factor2), "AB0C00sx");
  // Fewer historical bytes: zeros where the answer has no bytes.
  EXPECT_EQ(FromBlock(sim::CardFactorFromAtr(HexBytes("3B 68 00 00 01 02 03 04 05 06 07 08"))),
            HexBytes("0607080000000000"));
}

TEST(SimCardProfileTest, CardHoldsOneDiversifiedKeyPerDirectoryAndKeyId) {
  const CardProfile card = sim::DefaultCardProfile();
  // 66 key rows, less the one without an id and three sharing DF04's id 01.
  EXPECT_EQ(card.keys.size(), 62u);
  const sim::DiversificationFactors f = sim::FactorsFor(card.atr, sim::IdentificationCode(card));
  // IRK: usage 67, index 08, three levels.
  EXPECT_EQ(card.keys.at({0x3F00, 0x00}).value,
            sim::DiversifyCardKey(sim::IssuerMasterKey(0x67, 0x08), 3, f));
  // RK2DF04: one level.
  EXPECT_EQ(card.keys.at({0xDF04, 0x89}).value,
            sim::DiversifyCardKey(sim::IssuerMasterKey(0x28, 0x8F), 1, f));
  // DF04 id 01 belongs to its first row, DLKDF04 (49 4B).
  EXPECT_EQ(card.keys.at({0xDF04, 0x01}).value,
            sim::DiversifyCardKey(sim::IssuerMasterKey(0x49, 0x4B), 2, f));
  EXPECT_TRUE(sim::IsIssuerKey(0x48, 0x4D));
  EXPECT_FALSE(sim::IsIssuerKey(0x48, 0x4E));
}

TEST(SimCardProfileTest, ProfileTextRoundTripsEveryField) {
  SimProfile profile = sim::DefaultProfile();
  profile.card.t0 = true;
  profile.card.mfNameInSelectReply = false;
  profile.card.pinTriesLeft = 1;
  profile.card.lockedDirectories = {0xDF02, 0xDF0A};
  profile.card.keys.at({0x3F00, 0x04}).triesLeft = 5;
  profile.card.files.at({0xDF10, 0xEF0C}).binary[1279] = 0xEE;
  profile.card.files.at({0x3F00, 0xEF06}).records.at(1)[19] = '8';
  profile.psam.t0 = true;
  profile.psam.terminalId = HexBytes("010203040506");

  const std::string text = sim::FormatProfile(profile);
  SimProfile parsed;
  std::string error;
  ASSERT_TRUE(sim::ParseProfile(text, &parsed, &error)) << error;
  EXPECT_TRUE(parsed == profile);
  EXPECT_EQ(sim::FormatProfile(parsed), text);

  // Readable: items named, texts shown.
  EXPECT_NE(text.find("# 2 姓名: \"张三"), std::string::npos);
  EXPECT_NE(text.find("[file 3F00 EF05]\n# 1 卡的识别码\n1 = 01 10 330329D156"), std::string::npos);
  EXPECT_NE(text.find("locked = DF02 DF0A\n"), std::string::npos);
}

TEST(SimCardProfileTest, PartialProfileKeepsDefaultsAndTakesTexts) {
  SimProfile parsed;
  std::string error;
  ASSERT_TRUE(
      sim::ParseProfile("[card]\npin = 000000   # simple\n"
                        "[file 3F00 EF06]\n2 = \"李四\"\n"
                        "[file 3F00 EF07]\n@0010 = AA BB\n",
                        &parsed, &error))
      << error;
  EXPECT_EQ(HexText(parsed.card.pin), "00 00 00");
  const Bytes name = parsed.card.files.at({0x3F00, 0xEF06}).records.at(2);
  ASSERT_EQ(name.size(), 32u);
  EXPECT_EQ(std::string(name.begin() + 2, name.begin() + 6), Gbk("李四"));
  EXPECT_EQ(Bytes(name.begin() + 6, name.end()), Bytes(26, 0x00));
  const Bytes& fingerprint = parsed.card.files.at({0x3F00, 0xEF07}).binary;
  EXPECT_EQ(HexText(Bytes(fingerprint.begin() + 0x10, fingerprint.begin() + 0x12)), "AA BB");
  const CardProfile defaults = sim::DefaultCardProfile();
  EXPECT_EQ(parsed.card.files.at({0x3F00, 0xEF05}), defaults.files.at({0x3F00, 0xEF05}));
  EXPECT_EQ(parsed.card.keys, defaults.keys);
}

TEST(SimCardProfileTest, KeysNotListedFollowTheProfilesOwnCardListedKeysStay) {
  const CardProfile defaults = sim::DefaultCardProfile();
  const std::string newCode = "[file 3F00 EF05]\n1 = 01 10 340329D15600000500006074BD3D5A3F\n";
  SimProfile parsed;
  std::string error;
  ASSERT_TRUE(sim::ParseProfile(newCode, &parsed, &error)) << error;
  // Diversified for the new code.
  EXPECT_NE(parsed.card.keys.at({0x3F00, 0x04}).value, defaults.keys.at({0x3F00, 0x04}).value);
  const sim::DiversificationFactors f =
      sim::FactorsFor(parsed.card.atr, sim::IdentificationCode(parsed.card));
  EXPECT_EQ(parsed.card.keys.at({0x3F00, 0x04}).value,
            sim::DiversifyCardKey(sim::IssuerMasterKey(0x48, 0x12), 2, f));

  // A key written in the profile is kept whatever the code says.
  const sim::Key16& old = defaults.keys.at({0x3F00, 0x04}).value;
  ASSERT_TRUE(sim::ParseProfile(
      newCode + "[keys]\n3F00 04 = " + Packed(Bytes(old.begin(), old.end())) + " 2 8\n", &parsed,
      &error))
      << error;
  EXPECT_EQ(parsed.card.keys.at({0x3F00, 0x04}).value, old);
  EXPECT_EQ(parsed.card.keys.at({0x3F00, 0x04}).triesLeft, 2);
}

TEST(SimCardProfileTest, ParseErrorsNameTheLineAndLeaveTheProfileAlone) {
  const SimProfile before = sim::DefaultProfile();
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"atr = 3B00\n", "line 1: a value before the first [section]"},
      {"[card]\n\n[cards]\n", "line 3: unknown section [cards]"},
      {"[file 3F00 EF0A]\n", "line 1: the card has no file 3F00 EF0A"},
      {"[file 3F00 EF05]\n1 = 01 10 33\n", "line 2: record 1 holds 18 bytes, not 3"},
      {"[file 3F00 EF05]\n9 = 00\n", "line 2: the file has no record 9"},
      {"[file 3F00 EF05]\n7 = \"K123456789\"\n",
       "line 2: the text takes 10 bytes; the item holds 9"},
      {"[file 3F00 EF07]\n@02F0 = "
       "00000000000000000000000000000000 00\n",
       "line 2: the bytes run past the end of the file (768 bytes)"},
      {"[card]\npin = 12AB56\n", "line 2: pin takes an even number (2 to 12) of digits"},
      {"[card]\npin-tries = 4\n", "pin-tries is above pin-max-tries"},
      {"[card]\nlocked = 3F00\n", "line 2: locked lists application directories such as DF01"},
      {"[keys]\nDF01 99 = 00112233445566778899AABBCCDDEEFF\n",
       "line 2: the card has no key 99 in DF01"},
      {"[keys]\n3F00 04 = 0011\n", "line 2: a key takes 16 hex bytes"},
      {"[psam]\nterminal-id = 0102\n", "line 2: terminal-id takes 6 hex bytes"},
      {"[card]\nt0 = maybe\n", "line 2: t0 takes yes or no"},
  };
  for (const Case& c : cases) {
    SimProfile profile = before;
    std::string error;
    EXPECT_FALSE(sim::ParseProfile(c.text, &profile, &error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(profile == before) << c.text;
  }
}

TEST(SimCardProfileTest, SaveAndLoadThroughAFile) {
  const std::string path = ::testing::TempDir() + "sim_card_profile_test.ini";
  SimProfile profile = sim::DefaultProfile();
  profile.card.pin = HexBytes("987654");
  std::string error;
  ASSERT_TRUE(sim::SaveProfile(path, profile, &error)) << error;
  SimProfile loaded;
  ASSERT_TRUE(sim::LoadProfile(path, &loaded, &error)) << error;
  EXPECT_TRUE(loaded == profile);
  std::remove(path.c_str());
  EXPECT_FALSE(sim::LoadProfile(path, &loaded, &error));
  EXPECT_NE(error.find(path), std::string::npos);
}

}  // namespace
}  // namespace kx::test
