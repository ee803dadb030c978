// The secure services against the simulated user card and PSAM, which check
// every authentication themselves. The reader's trace is read back as lines
//   "ON 16"  "OFF 0"  (power on / off of a slot)
//   "0> 00 A4 00 00 02 3F 00"  (an APDU to slot 0)
// and expected lines may name the values only the run knows:
//   {CF} {F2} {F1}  the card's factors      {C1} {C2} ...  the card's challenges
//   {X}             the PSAM's last 80 FA answer (8 bytes)
//   {X1} {X2} ...   the first 8 bytes of its n-th 80 FA answer, {M1} ... their first 4
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "sim/keys.h"
#include "sim/personalise.h"
#include "sim/psam.h"
#include "sim/user_card.h"
#include "tests/support/gbk.h"
#include "tests/support/scripted_card.h"
#include "tests/support/sim_fixture.h"

namespace kx::test {

using Lines = std::vector<std::string>;

inline Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The identification code read for the factors.
inline const Lines kFactorReads = {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 02 00 02 EF 05",
                                   "0> 00 B2 01 04 00"};

// Challenges, the PSAM's part and the external authentication of a key.
inline Lines AuthenticationLines(const std::string& diversify, const std::string& authenticate) {
  return {"0> 00 84 00 00 08",
          "0> 00 84 00 00 08",
          "ON 16",
          "16> 00 A4 00 00 02 3F 00",
          "16> 00 A4 00 00 02 DF 01",
          "16> " + diversify,
          "16> 80 FA 00 00 08 {C1} 00",
          "0> " + authenticate + " {X} {C1}"};
}

// A PSAM whose encryption answers (those with P1 `onlyP1`, when given)
// carry `length` cryptogram bytes: the real ones, cut or followed by filler.
class ReshapedPsam : public sim::Psam {
 public:
  explicit ReshapedPsam(std::size_t length, std::optional<std::uint8_t> onlyP1 = std::nullopt)
      : length_(length), onlyP1_(onlyP1) {}
  sim::Bytes Transmit(const sim::Bytes& apdu) override {
    sim::Bytes reply = Psam::Transmit(apdu);
    if (apdu.size() < 3 || apdu[0] != 0x80 || apdu[1] != 0xFA || reply.size() < 2) return reply;
    if (onlyP1_ && apdu[2] != *onlyP1_) return reply;
    const sim::Bytes status(reply.end() - 2, reply.end());
    reply.resize(reply.size() - 2);
    reply.resize(length_, 0xA5);
    reply.insert(reply.end(), status.begin(), status.end());
    return reply;
  }

 private:
  std::size_t length_;
  std::optional<std::uint8_t> onlyP1_;
};

class ServicesFixture : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    openedWith.reset();
    reader.ClearFaults();
    reader.ClearTrace();
    card = std::make_shared<sim::UserCard>();
    card->SeedChallenges(7);
    reader.Insert(0, card);
    reader.Insert(16, std::make_shared<sim::Psam>());
    ASSERT_EQ(SetPin("123456"), 3);
  }

  // A fresh library, card and PSAM, for the next row of a table.
  void Restart() {
    TearDown();
    SetUp();
  }

  // The plain exports' start: the reader open on COM1, the user card on.
  void OpenReader() {
    ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
    KXSelectIFD(0, 12);
    char status = 0;
    ASSERT_EQ(GetReaderStatus(0, &status), 0);
    ASSERT_EQ(status, '2');
    reader.ClearTrace();
    openedWith = CardFactors();
  }

  // The factors of the card as it stands (its identification code may change).
  sim::DiversificationFactors CardFactors() const {
    return sim::FactorsFor(card->profile().atr, sim::IdentificationCode(card->profile()));
  }

  // The trace since it was last cleared, as lines.
  Lines Sequence() const {
    Lines lines;
    for (const sim::TraceEntry& e : reader.trace()) {
      using Kind = sim::TraceEntry::Kind;
      if (e.kind == Kind::kApdu) lines.push_back(std::to_string(e.slot) + "> " + HexText(e.bytes));
      if (e.kind != Kind::kCommand || e.bytes.size() < 3) continue;
      if (e.bytes[1] == 0x22 && e.bytes.size() == 5)
        lines.push_back("ON " + std::to_string(e.bytes[4]));
      if (e.bytes[1] == 0x23) lines.push_back("OFF " + std::to_string(e.bytes[2]));
    }
    return lines;
  }

  // `expected` with its placeholders filled in from this run.
  Lines Expand(const Lines& expected) const {
    std::map<std::string, sim::Bytes> values;
    const sim::DiversificationFactors factors = openedWith ? *openedWith : CardFactors();
    values["{CF}"] = sim::Bytes(factors.cardFactor.begin(), factors.cardFactor.end());
    values["{F2}"] = sim::Bytes(factors.factor2.begin(), factors.factor2.end());
    values["{F1}"] = sim::Bytes(factors.factor1.begin(), factors.factor1.end());
    sim::Bytes apdu;
    int challenges = 0;
    int answers = 0;
    for (const sim::TraceEntry& e : reader.trace()) {
      if (e.kind == sim::TraceEntry::Kind::kApdu) apdu = e.bytes;
      if (e.kind != sim::TraceEntry::Kind::kResponse || e.bytes.size() < 10) continue;
      const sim::Bytes data(e.bytes.begin(), e.bytes.begin() + 8);
      if (apdu.size() >= 2 && apdu[0] == 0x00 && apdu[1] == 0x84) {
        values["{C" + std::to_string(++challenges) + "}"] = data;
      }
      if (apdu.size() >= 2 && apdu[0] == 0x80 && apdu[1] == 0xFA) {
        const std::string n = std::to_string(++answers);
        values["{X}"] = values["{X" + n + "}"] = data;
        values["{M" + n + "}"] = sim::Bytes(data.begin(), data.begin() + 4);
      }
    }
    Lines lines;
    for (std::string line : expected) {
      for (const auto& [name, bytes] : values) {
        for (auto at = line.find(name); at != std::string::npos; at = line.find(name)) {
          line.replace(at, name.size(), HexText(bytes));
        }
      }
      lines.push_back(line);
    }
    return lines;
  }

  static std::string Message(int code) {
    char text[545] = {};
    KXGetErrMessage(code, text);
    return Utf8(text);
  }
  static std::string Text() { return Utf8(ErrorText); }

  // The link closed and neither card powered, as every all-in-one call leaves them.
  void ExpectReleased(const std::string& what) const {
    EXPECT_FALSE(SerialPortOpen) << what;
    EXPECT_FALSE(reader.IsPowered(0)) << what;
    EXPECT_FALSE(reader.IsPowered(16)) << what;
  }

  const sim::Bytes& Record(std::uint16_t directory, std::uint16_t file, int record) const {
    return card->profile().files.at({directory, file}).records.at(record);
  }
  const sim::Bytes& Binary(std::uint16_t directory, std::uint16_t file) const {
    return card->profile().files.at({directory, file}).binary;
  }

  std::shared_ptr<sim::UserCard> card;
  // The factors when the reader was opened, for the lines of a run that
  // rewrites the identification code.
  std::optional<sim::DiversificationFactors> openedWith;
};

}  // namespace kx::test
