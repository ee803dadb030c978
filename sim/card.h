// A card in a reader slot, as the simulated reader sees it.
#pragma once

#include <cstdint>
#include <vector>

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

class Card {
 public:
  virtual ~Card() = default;
  // Cold reset: the card's volatile state (current file, rights, challenge)
  // is lost; persistent content stays. Returns the reset answer.
  virtual Bytes PowerOn() = 0;
  virtual void PowerOff() = 0;
  // One command APDU; returns response data followed by SW1 SW2.
  virtual Bytes Transmit(const Bytes& apdu) = 0;
  // True for a command that runs the card's key cryptography, which takes a
  // real card longer than reading a file (see ReaderTiming).
  virtual bool IsCryptoCommand(const Bytes& /*apdu*/) const { return false; }
};

// A card that answers every APDU with one fixed status word.
class FixedStatusCard : public Card {
 public:
  explicit FixedStatusCard(Bytes atr, std::uint8_t sw1 = 0x90, std::uint8_t sw2 = 0x00)
      : atr_(std::move(atr)), sw1_(sw1), sw2_(sw2) {}
  Bytes PowerOn() override { return atr_; }
  void PowerOff() override {}
  Bytes Transmit(const Bytes&) override { return {sw1_, sw2_}; }

 private:
  Bytes atr_;
  std::uint8_t sw1_, sw2_;
};

}  // namespace kx::sim
