#include "sim/reply_schedule.h"

#include <algorithm>

namespace kx::sim {

namespace {
constexpr std::uint64_t kBitsPerByte = 10;
constexpr std::uint64_t kUsPerSecond = 1000000;
}  // namespace

std::uint64_t LineTimeUs(std::size_t count, std::uint32_t baud) {
  if (baud == 0) return 0;
  const std::uint64_t bitUs = static_cast<std::uint64_t>(count) * kBitsPerByte * kUsPerSecond;
  return (bitUs + baud - 1) / baud;
}

std::uint64_t ReplySchedule::HostBytes(std::uint64_t nowUs, std::size_t count) {
  if (baud_ == 0) return nowUs;
  hostLineFreeUs_ = std::max(nowUs, hostLineFreeUs_) + LineTimeUs(count, baud_);
  return hostLineFreeUs_;
}

std::uint64_t ReplySchedule::DueOf(const Item& item, std::size_t index) const {
  return item.start + LineTimeUs(index + 1, baud_);
}

std::uint64_t ReplySchedule::EndOf(const Item& item) const {
  return item.bytes.empty() ? item.start : DueOf(item, item.bytes.size() - 1);
}

void ReplySchedule::Add(std::uint64_t arrivedUs, const std::vector<ReplyChunk>& chunks) {
  std::uint64_t previousEnd = arrivedUs;
  for (const ReplyChunk& chunk : chunks) {
    std::uint64_t start = previousEnd + std::uint64_t{chunk.delayMs} * 1000;
    if (!items_.empty()) start = std::max(start, EndOf(items_.back()));
    items_.push_back(Item{start, chunk.bytes});
    previousEnd = EndOf(items_.back());
  }
}

std::optional<std::uint64_t> ReplySchedule::NextDue() const {
  if (items_.empty()) return std::nullopt;
  const Item& front = items_.front();
  return front.taken < front.bytes.size() ? DueOf(front, front.taken) : front.start;
}

std::optional<std::uint64_t> ReplySchedule::BurstDue(std::size_t maxBytes,
                                                     std::uint64_t maxSpanUs) const {
  if (items_.empty()) return std::nullopt;
  const Item& front = items_.front();
  if (front.taken >= front.bytes.size()) return front.start;
  const std::size_t last =
      std::min(front.taken + std::max<std::size_t>(maxBytes, 1), front.bytes.size()) - 1;
  return std::min(DueOf(front, last), DueOf(front, front.taken) + maxSpanUs);
}

std::optional<std::uint64_t> ReplySchedule::ChunkEndDue() const {
  if (items_.empty()) return std::nullopt;
  return EndOf(items_.front());
}

std::vector<std::uint8_t> ReplySchedule::TakeDue(std::uint64_t nowUs) {
  std::vector<std::uint8_t> bytes;
  while (!items_.empty()) {
    Item& front = items_.front();
    while (front.taken < front.bytes.size() && DueOf(front, front.taken) <= nowUs) {
      bytes.push_back(front.bytes[front.taken++]);
    }
    if (front.taken < front.bytes.size() || front.start > nowUs) break;
    items_.pop_front();
  }
  return bytes;
}

std::size_t ReplySchedule::PendingBytes() const {
  std::size_t pending = 0;
  for (const Item& item : items_) pending += item.bytes.size() - item.taken;
  return pending;
}

void ReplySchedule::Clear() {
  items_.clear();
}

}  // namespace kx::sim
