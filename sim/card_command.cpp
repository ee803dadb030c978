#include "sim/card_command.h"

#include <algorithm>
#include <utility>

namespace kx::sim {

bool ParseCommand(const Bytes& apdu, CommandApdu* command) {
  if (apdu.size() < 4) return false;
  CommandApdu c;
  c.cla = apdu[0];
  c.ins = apdu[1];
  c.p1 = apdu[2];
  c.p2 = apdu[3];
  const std::size_t n = apdu.size();
  if (n == 5) {
    c.hasLe = true;
    c.le = apdu[4] == 0 ? 256 : apdu[4];
  } else if (n > 5) {
    const std::size_t lc = apdu[4];
    if (lc == 0) return false;
    if (n == 5 + lc) {
      c.data.assign(apdu.begin() + 5, apdu.end());
    } else if (n == 6 + lc) {
      c.data.assign(apdu.begin() + 5, apdu.end() - 1);
      c.hasLe = true;
      c.le = apdu.back() == 0 ? 256 : apdu.back();
    } else {
      return false;
    }
  }
  *command = std::move(c);
  return true;
}

Bytes StatusWord(std::uint16_t sw) {
  return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw & 0xFF)};
}

Bytes DataAndStatus(Bytes data, std::uint16_t sw) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw & 0xFF));
  return data;
}

Bytes ResponseChannel::Outgoing(Bytes data) {
  pending_.clear();
  if (!t0_ || data.empty()) return DataAndStatus(std::move(data));
  if (data.size() > 256) data.resize(256);
  pending_ = std::move(data);
  return {0x61, static_cast<std::uint8_t>(pending_.size() & 0xFF)};
}

Bytes ResponseChannel::Requested(Bytes data, const CommandApdu& command) {
  pending_.clear();
  const int asked = command.hasLe ? command.le : 256;
  if (t0_ && !data.empty() && static_cast<int>(data.size()) != asked) {
    return {0x6C, static_cast<std::uint8_t>(data.size() & 0xFF)};
  }
  return DataAndStatus(std::move(data));
}

Bytes ResponseChannel::GetResponse(const CommandApdu& command) {
  if (command.p1 != 0 || command.p2 != 0) {
    pending_.clear();
    return StatusWord(sw::kWrongP1P2);
  }
  if (pending_.empty()) return StatusWord(sw::kConditionsNotSatisfied);
  const std::size_t asked = command.hasLe ? static_cast<std::size_t>(command.le) : 256;
  if (asked > pending_.size()) {
    // The data stays parked for a GET RESPONSE with the right length.
    return {0x6C, static_cast<std::uint8_t>(pending_.size() & 0xFF)};
  }
  Bytes out(pending_.begin(), pending_.begin() + asked);
  pending_.erase(pending_.begin(), pending_.begin() + asked);
  if (pending_.empty()) return DataAndStatus(std::move(out));
  return DataAndStatus(std::move(out),
                       static_cast<std::uint16_t>(0x6100 | (pending_.size() & 0xFF)));
}

Bytes ReadBinaryFrom(const Bytes& file, const CommandApdu& command,
                     const ResponseChannel& channel) {
  const std::size_t offset = static_cast<std::size_t>(command.p1 << 8 | command.p2);
  if (offset >= file.size()) return StatusWord(sw::kOffsetOutside);
  const std::size_t available = file.size() - offset;
  const std::size_t asked = command.hasLe ? static_cast<std::size_t>(command.le) : 256;
  // Le is at most 256, so the length there is fits the 6C byte here.
  if (channel.t0() && asked > available) return {0x6C, static_cast<std::uint8_t>(available)};
  const auto start = file.begin() + static_cast<std::ptrdiff_t>(offset);
  return DataAndStatus(
      Bytes(start, start + static_cast<std::ptrdiff_t>(std::min(asked, available))));
}

}  // namespace kx::sim
