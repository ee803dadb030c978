#include "sim/reply_schedule.h"

#include <algorithm>

namespace kx::sim {

void ReplySchedule::Add(std::uint64_t nowMs, const std::vector<ReplyChunk>& chunks) {
  std::uint64_t due = nowMs;
  for (const ReplyChunk& chunk : chunks) {
    due += chunk.delayMs;
    if (!items_.empty()) due = std::max(due, items_.back().due);
    items_.push_back(Item{due, chunk.bytes});
  }
}

std::optional<std::uint64_t> ReplySchedule::NextDue() const {
  if (items_.empty()) return std::nullopt;
  return items_.front().due;
}

std::vector<std::uint8_t> ReplySchedule::TakeDue(std::uint64_t nowMs) {
  std::vector<std::uint8_t> bytes;
  while (!items_.empty() && items_.front().due <= nowMs) {
    bytes.insert(bytes.end(), items_.front().bytes.begin(), items_.front().bytes.end());
    items_.pop_front();
  }
  return bytes;
}

std::size_t ReplySchedule::PendingBytes() const {
  std::size_t pending = 0;
  for (const Item& item : items_) pending += item.bytes.size();
  return pending;
}

}  // namespace kx::sim
