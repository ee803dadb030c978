// The least time a host needs for what a reader trace shows: every byte on
// the serial line at 10 bit times, and the reader's own time before each
// reply. Benchmarks hold an operation's wall time against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/reader.h"

namespace kx::sim {

// One trace entry's share: bytes on the line (from the host, or the reader's
// reply), and for a reply the reader's time before and within it.
struct LineCost {
  bool reply = false;
  std::size_t bytes = 0;
  std::uint32_t delayMs = 0;
};

LineCost CostOf(const TraceEntry& entry);

// " | 18 B" for host bytes, " | 40 B after 3 ms" for a reply; empty for an
// entry that took nothing on the line (an APDU inside a frame).
std::string FormatLineCost(const LineCost& cost);

// The share a trace line printed with its cost (kx-sim --trace --baud N)
// describes; nothing for a line without one. A reader that kept silent
// ("RPL none") sent no reply.
std::optional<LineCost> ParseLineCost(const std::string& traceLine);

// The host waits for each reply before it sends its next command, so the
// line carries everything one after the other. Bytes after the last reply
// (the closing sequence nobody waits for) are left out.
class LowerBound {
 public:
  void Add(const LineCost& cost);
  void Add(const TraceEntry& entry) { Add(CostOf(entry)); }
  // 0 when no reply has come yet.
  std::uint64_t Microseconds(std::uint32_t baud) const;
  std::size_t bytes() const { return bytes_; }
  std::uint64_t delayMs() const { return delayMs_; }

 private:
  std::size_t bytes_ = 0;  // up to the last reply
  std::uint64_t delayMs_ = 0;
  std::size_t pendingBytes_ = 0;  // since the last reply
};

}  // namespace kx::sim
