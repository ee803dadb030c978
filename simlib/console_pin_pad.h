// A PIN pad whose keys are the developer's: each time the host asks for a
// PIN (ESC 'I' or ESC 'E'), a prompt on stderr and one line read from stdin.
// The line's characters are the keys typed, Enter sends them; an empty
// line, or no console at all (end of input), is the pad's cancel key.
//
// The pad answers when the line is in, and the host's call waits for it
// meanwhile: the library's own limit on the wait for the pad is not applied
// to a developer typing at the console.
#pragma once

#include <cstdio>

#include "sim/wire.h"

namespace kx::simlib {

class ConsolePinPad final : public kx::sim::SerialDevice {
 public:
  ConsolePinPad(std::FILE* in, std::FILE* prompt) : in_(in), prompt_(prompt) {}

  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override;

 private:
  kx::sim::ReplyChunk Ask();

  std::FILE* in_;
  std::FILE* prompt_;
  bool afterEsc_ = false;
};

}  // namespace kx::simlib
