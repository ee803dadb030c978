// A card driven by a script: each step names the APDU the card expects next
// and the reply it gives. Anything else is a mismatch, reported by step:
//   "at step 4: expected 00 A4 02 00 02 DF 01, got 00 A4 00 00 02 3F 00"
// The card answers a mismatched APDU with 6F 00 so the library sees a
// refusal, and keeps going with the next step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/card.h"
#include "tests/support/hex.h"

namespace kx::test {

class ScriptedCard : public kx::sim::Card {
 public:
  // The default reset answer: TS, T0 with 13 historical bytes, TB1, TC1,
  // then the historical bytes 01 to 0D.
  explicit ScriptedCard(Bytes atr = HexBytes("3B 6D 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D"));

  // The next step: the card expects `apdu` and answers `reply` (data and SW,
  // or anything at all, for hostile tests).
  ScriptedCard& Expect(const Bytes& apdu, const Bytes& reply);
  ScriptedCard& Expect(const std::string& apduHex, const std::string& replyHex);
  // A step that accepts any APDU, for commands carrying data a test cannot
  // predict; the APDU is kept for inspection.
  ScriptedCard& ExpectAny(const Bytes& reply);

  void SetAtr(Bytes atr) { atr_ = std::move(atr); }

  Bytes PowerOn() override;
  void PowerOff() override;
  Bytes Transmit(const Bytes& apdu) override;

  // Every APDU received, in order.
  const std::vector<Bytes>& Received() const { return received_; }
  int StepsRun() const { return static_cast<int>(received_.size()); }
  int PowerOns() const { return powerOns_; }
  int PowerOffs() const { return powerOffs_; }

  // "" when every APDU matched its step; otherwise one line per mismatch.
  std::string Mismatches() const;
  // Mismatches, plus a line for every step the library never reached.
  std::string Problems() const;

 private:
  struct Step {
    bool any = false;
    Bytes apdu;
    Bytes reply;
  };

  Bytes atr_;
  std::vector<Step> steps_;
  std::vector<Bytes> received_;
  std::vector<std::string> mismatches_;
  int powerOns_ = 0;
  int powerOffs_ = 0;
};

}  // namespace kx::test
