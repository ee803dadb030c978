// Reply chunks of a simulated serial device waiting for their time on the
// line, the one ordering rule of both transports (the in-process simulated
// platform and kx-sim's pseudo-terminal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/wire.h"

namespace kx::sim {

// A chunk is due its delay after the previous one; the first counts from the
// host bytes it answers. Chunks leave in the order they were added, so a slow
// reply is never overtaken by a quicker one behind it, as on a real line.
class ReplySchedule {
 public:
  void Add(std::uint64_t nowMs, const std::vector<ReplyChunk>& chunks);
  bool empty() const { return items_.empty(); }
  std::optional<std::uint64_t> NextDue() const;
  // Every byte due at `nowMs`, in order.
  std::vector<std::uint8_t> TakeDue(std::uint64_t nowMs);
  // Bytes still waiting, due or not.
  std::size_t PendingBytes() const;
  void Clear() { items_.clear(); }

 private:
  struct Item {
    std::uint64_t due;
    std::vector<std::uint8_t> bytes;
  };
  std::deque<Item> items_;
};

}  // namespace kx::sim
