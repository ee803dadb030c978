// What a simulated device looks like from the serial line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kx::sim {

// Bytes a device sends back, `delayMs` after the previous chunk (the first
// chunk counts from the host's write).
struct ReplyChunk {
  std::uint32_t delayMs = 0;
  std::vector<std::uint8_t> bytes;
};

// A device on a serial line. The transports (the in-process simulated
// platform, kx-sim's pseudo-terminal) feed it what the host writes and
// deliver its chunks with their delays.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Bytes as the host wrote them; they may hold part of a frame, or several.
  virtual std::vector<ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) = 0;
};

}  // namespace kx::sim
