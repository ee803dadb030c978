#include "sim/psam.h"

#include <algorithm>
#include <utility>

#include "sim/card_layout.h"
#include "sim/keys.h"

namespace kx::sim {
namespace {

constexpr std::uint16_t kApplication = 0xDF01;
constexpr std::uint16_t kTerminalIdFile = 0x0016;
const Bytes kApplicationName = {0xD1, 0x56, 0x00, 0x00, 0x05, 0x90};
// Class and instruction of the two commands that run the PSAM's keys.
constexpr std::uint8_t kDiversify[2] = {0xBF, 0xDE};
constexpr std::uint8_t kCompute[2] = {0x80, 0xFA};

Bytes ControlInformation(const Bytes& name) {
  // Sized up front: g++ 12 at -O2 misreads an insert into a 4-byte vector.
  Bytes fci(4 + name.size());
  fci[0] = 0x6F;
  fci[1] = static_cast<std::uint8_t>(name.size() + 2);
  fci[2] = 0x84;
  fci[3] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), fci.begin() + 4);
  return fci;
}

}  // namespace

Psam::Psam(PsamProfile profile) : profile_(std::move(profile)) {
  channel_.SetT0(profile_.t0);
}

void Psam::SetT0(bool t0) {
  profile_.t0 = t0;
  channel_.SetT0(t0);
}

Bytes Psam::PowerOn() {
  PowerOff();
  return profile_.atr;
}

void Psam::PowerOff() {
  channel_.Drop();
  currentDirectory_ = kMasterFile;
  currentFile_ = 0;
  workingKey_.reset();
}

Bytes Psam::Transmit(const Bytes& apdu) {
  CommandApdu c;
  if (!ParseCommand(apdu, &c)) {
    channel_.Drop();
    return StatusWord(sw::kWrongLength);
  }
  if (c.cla == 0x00 && c.ins == 0xC0) return channel_.GetResponse(c);
  channel_.Drop();
  if (c.cla == 0x00 && c.ins == 0xA4) return Select(c);
  if (c.cla == 0x00 && c.ins == 0xB0) return ReadBinary(c);
  if (c.cla == kDiversify[0] && c.ins == kDiversify[1]) return Diversify(c);
  if (c.cla == kCompute[0] && c.ins == kCompute[1]) return Compute(c);
  if (c.cla != 0x00 && c.cla != 0x80 && c.cla != 0xBF) return StatusWord(sw::kUnknownClass);
  return StatusWord(sw::kUnknownInstruction);
}

bool Psam::IsCryptoCommand(const Bytes& apdu) const {
  const auto starts = [&](const std::uint8_t(&head)[2]) {
    return apdu.size() >= 2 && apdu[0] == head[0] && apdu[1] == head[1];
  };
  return starts(kDiversify) || starts(kCompute);
}

Bytes Psam::Select(const CommandApdu& c) {
  if (c.p2 != 0x00 && c.p2 != 0x0C) return StatusWord(sw::kWrongP1P2);
  const bool withFci = c.p2 == 0x00;
  auto enter = [&](std::uint16_t directory) {
    currentDirectory_ = directory;
    currentFile_ = 0;
    if (!withFci) return StatusWord(sw::kOk);
    return channel_.Outgoing(
        ControlInformation(directory == kMasterFile ? MasterFileName() : kApplicationName));
  };
  if (c.p1 == 0x04) {
    if (c.data.empty()) return StatusWord(sw::kWrongLength);
    if (c.data == MasterFileName()) return enter(kMasterFile);
    if (c.data == kApplicationName) return enter(kApplication);
    return StatusWord(sw::kFileNotFound);
  }
  if (c.p1 != 0x00 && c.p1 != 0x02) return StatusWord(sw::kWrongP1P2);
  if (c.data.size() != 2) return StatusWord(sw::kWrongLength);
  const std::uint16_t id = static_cast<std::uint16_t>(c.data[0] << 8 | c.data[1]);
  if (c.p1 == 0x00 && id == kMasterFile) return enter(kMasterFile);
  if (c.p1 == 0x00 && id == kApplication) return enter(kApplication);
  if (id == kTerminalIdFile && currentDirectory_ == kMasterFile) {
    currentFile_ = kTerminalIdFile;
    return StatusWord(sw::kOk);
  }
  return StatusWord(sw::kFileNotFound);
}

Bytes Psam::ReadBinary(const CommandApdu& c) {
  if (!c.data.empty()) return StatusWord(sw::kWrongLength);
  if (c.p1 & 0x80) return StatusWord(sw::kWrongP1P2);
  if (currentFile_ != kTerminalIdFile) return StatusWord(sw::kNoCurrentFile);
  return ReadBinaryFrom(profile_.terminalId, c, channel_);
}

Bytes Psam::Diversify(const CommandApdu& c) {
  const std::size_t n = c.data.size();
  if (n < 8 || n > 32 || n % 8 != 0) return StatusWord(sw::kWrongLength);
  if (currentDirectory_ != kApplication) return StatusWord(sw::kConditionsNotSatisfied);
  if (!IsIssuerKey(c.p1, c.p2)) return StatusWord(sw::kKeyNotFound);
  Key16 key = IssuerMasterKey(c.p1, c.p2);
  for (std::size_t at = 0; at < n; at += 8) key = DeriveKey(key, ToBlock(&c.data[at]));
  workingKey_ = key;
  return StatusWord(sw::kOk);
}

Bytes Psam::Compute(const CommandApdu& c) {
  if (c.p2 != 0x00 || (c.p1 != 0x00 && c.p1 != 0x05)) return StatusWord(sw::kWrongP1P2);
  if (c.data.empty() || c.data.size() % 8 != 0) return StatusWord(sw::kWrongLength);
  if (!workingKey_) return StatusWord(sw::kConditionsNotSatisfied);
  if (c.p1 == 0x00) {
    Bytes out = EncryptEcb(*workingKey_, c.data);
    if (out.empty()) return StatusWord(sw::kNoPreciseDiagnosis);
    return channel_.Outgoing(std::move(out));
  }
  Block8 mac;
  if (!CbcMac(*workingKey_, c.data, &mac)) return StatusWord(sw::kNoPreciseDiagnosis);
  return channel_.Outgoing(Bytes(mac.begin(), mac.end()));
}

}  // namespace kx::sim
