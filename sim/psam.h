// The simulated PSAM: the secure access module that holds the issuer's
// master keys. It diversifies a master key with a card's factors (BF DE),
// then encrypts data or computes a MAC with the result (80 FA), and carries
// the terminal's identifier in file 0016.
//
// Its file system: the master file 3F00 (named "sx1.sh.社会保障") holding the
// transparent file 0016 and the application DF01 (named D1 56 00 00 05 90),
// where the keys live.
#pragma once

#include <optional>

#include "sim/card.h"
#include "sim/card_command.h"
#include "sim/crypto.h"
#include "sim/default_profile.h"
#include "sim/profile.h"

namespace kx::sim {

class Psam : public Card {
 public:
  explicit Psam(PsamProfile profile = DefaultPsamProfile());

  Bytes PowerOn() override;
  void PowerOff() override;
  Bytes Transmit(const Bytes& apdu) override;
  // Key diversification (BF DE) and encryption or MAC (80 FA).
  bool IsCryptoCommand(const Bytes& apdu) const override;

  const PsamProfile& profile() const { return profile_; }
  void SetT0(bool t0);

 private:
  Bytes Select(const CommandApdu& c);
  Bytes ReadBinary(const CommandApdu& c);
  Bytes Diversify(const CommandApdu& c);
  Bytes Compute(const CommandApdu& c);

  PsamProfile profile_;
  ResponseChannel channel_;
  std::uint16_t currentDirectory_ = 0x3F00;
  std::uint16_t currentFile_ = 0;
  std::optional<Key16> workingKey_;
};

}  // namespace kx::sim
