#include "tests/support/scripted_card.h"

namespace kx::test {

namespace {

const Bytes kMismatchReply = {0x6F, 0x00};

}  // namespace

ScriptedCard::ScriptedCard(Bytes atr) : atr_(std::move(atr)) {}

ScriptedCard& ScriptedCard::Expect(const Bytes& apdu, const Bytes& reply) {
  steps_.push_back(Step{false, apdu, reply});
  return *this;
}

ScriptedCard& ScriptedCard::Expect(const std::string& apduHex, const std::string& replyHex) {
  return Expect(HexBytes(apduHex), HexBytes(replyHex));
}

ScriptedCard& ScriptedCard::ExpectAny(const Bytes& reply) {
  steps_.push_back(Step{true, {}, reply});
  return *this;
}

Bytes ScriptedCard::PowerOn() {
  ++powerOns_;
  return atr_;
}

void ScriptedCard::PowerOff() {
  ++powerOffs_;
}

Bytes ScriptedCard::Transmit(const Bytes& apdu) {
  received_.push_back(apdu);
  const std::size_t index = received_.size() - 1;
  const std::string where = "at step " + std::to_string(index + 1) + ": ";
  if (index >= steps_.size()) {
    mismatches_.push_back(where + "expected no more APDUs, got " + HexText(apdu));
    return kMismatchReply;
  }
  const Step& step = steps_[index];
  if (!step.any && step.apdu != apdu) {
    mismatches_.push_back(where + "expected " + HexText(step.apdu) + ", got " + HexText(apdu));
    return kMismatchReply;
  }
  return step.reply;
}

std::string ScriptedCard::Mismatches() const {
  std::string out;
  for (const std::string& line : mismatches_) out += line + "\n";
  return out;
}

std::string ScriptedCard::Problems() const {
  std::string out = Mismatches();
  for (std::size_t i = received_.size(); i < steps_.size(); ++i) {
    out += "at step " + std::to_string(i + 1) + ": expected " +
           (steps_[i].any ? std::string("any APDU") : HexText(steps_[i].apdu)) + ", got nothing\n";
  }
  return out;
}

}  // namespace kx::test
