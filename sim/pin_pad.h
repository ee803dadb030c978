// The simulated PIN pad. The host asks for a PIN with ESC 'I' (or ESC 'E');
// the pad answers STX, the characters the cardholder typed, ETX. The byte 83
// (sent by a host whose prompt did not go out whole) is taken silently.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace kx::sim {

// What the cardholder does at the next prompts.
struct PinPadScript {
  std::string typed = "123456";  // the characters typed, then Enter
  bool silent = false;           // nobody types: no answer at all
  bool cancelled = false;        // the pad's cancel key: STX ETX, no characters
  std::uint32_t firstKeyMs = 0;  // from the prompt to the first key
  std::uint32_t perKeyMs = 0;    // from one key to the next, and to Enter
};

class PinPad : public SerialDevice {
 public:
  PinPadScript& script() { return script_; }

  // What the host sent, one entry per command: "ESC I", "ESC E", "83", or
  // the bytes in hex for anything else.
  const std::vector<std::string>& commands() const { return commands_; }
  void ClearCommands() { commands_.clear(); }

  std::vector<ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override;

 private:
  std::vector<ReplyChunk> Answer() const;

  PinPadScript script_;
  std::vector<std::string> commands_;
  bool afterEsc_ = false;
};

}  // namespace kx::sim
