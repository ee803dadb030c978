// The serial line between a host and a simulated device, the one timing rule
// of both transports (the in-process simulated platform and kx-sim's
// pseudo-terminal): when the device sees the host's bytes, and when each byte
// of its replies reaches the host. Times are microseconds on the transport's
// clock.
//
// A line without a speed (baud 0) carries bytes at once. A paced line carries
// one byte per 10 bit times (start bit, 8 data bits, stop bit) each way, so a
// byte is due when its last bit is in; the two directions are independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/wire.h"

namespace kx::sim {

// The time `count` bytes take on a line of `baud` (0: none).
std::uint64_t LineTimeUs(std::size_t count, std::uint32_t baud);

class ReplySchedule {
 public:
  // 0 for a line without a speed. Kept across Clear.
  void SetBaud(std::uint32_t baud) { baud_ = baud; }
  std::uint32_t baud() const { return baud_; }

  // `count` host bytes written at `nowUs` follow any still on their way to
  // the device; returns the instant the last of them is in.
  std::uint64_t HostBytes(std::uint64_t nowUs, std::size_t count);

  // The device's answer to host bytes that were in at `arrivedUs`. A chunk
  // starts its delay after the previous chunk's last byte (the first after
  // `arrivedUs`), and never before an earlier reply has finished, so a slow
  // reply is never overtaken by a quicker one behind it, as on a real line.
  void Add(std::uint64_t arrivedUs, const std::vector<ReplyChunk>& chunks);

  bool empty() const { return items_.empty(); }
  // When the next byte is due at the host.
  std::optional<std::uint64_t> NextDue() const;
  // When the burst that starts with the next byte is in: `maxBytes` bytes,
  // or as many as are due within `maxSpanUs` of the first, but never past
  // the end of the chunk now under way. A transport that hands bytes over in
  // bursts, as a UART's receive FIFO does, waits for this; the last byte of a
  // reply is never held back.
  std::optional<std::uint64_t> BurstDue(std::size_t maxBytes, std::uint64_t maxSpanUs) const;
  // When the last byte of the chunk now under way is due.
  std::optional<std::uint64_t> ChunkEndDue() const;
  // Every byte due at `nowUs`, in order.
  std::vector<std::uint8_t> TakeDue(std::uint64_t nowUs);
  // Bytes still waiting, due or not.
  std::size_t PendingBytes() const;
  // Drops the replies on their way (the host closed its port); bytes the
  // host sent still take their time on the line.
  void Clear();

 private:
  struct Item {
    std::uint64_t start;  // when the chunk's first bit goes on the line
    std::vector<std::uint8_t> bytes;
    std::size_t taken = 0;
  };
  std::uint64_t DueOf(const Item& item, std::size_t index) const;
  std::uint64_t EndOf(const Item& item) const;

  std::deque<Item> items_;
  std::uint32_t baud_ = 0;
  std::uint64_t hostLineFreeUs_ = 0;
};

}  // namespace kx::sim
