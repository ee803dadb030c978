#include "sim/line_budget.h"

#include <cstdio>

#include "sim/reply_schedule.h"

namespace kx::sim {

namespace {
constexpr char kSeparator[] = " | ";
}  // namespace

LineCost CostOf(const TraceEntry& entry) {
  const bool reply = entry.kind == TraceEntry::Kind::kReply && entry.lineBytes > 0;
  return LineCost{reply, entry.lineBytes, reply ? entry.replyDelayMs : 0};
}

std::string FormatLineCost(const LineCost& cost) {
  if (cost.bytes == 0) return {};
  std::string text = kSeparator + std::to_string(cost.bytes) + " B";
  if (cost.reply) text += " after " + std::to_string(cost.delayMs) + " ms";
  return text;
}

std::optional<LineCost> ParseLineCost(const std::string& traceLine) {
  const std::size_t at = traceLine.rfind(kSeparator);
  if (at == std::string::npos) return std::nullopt;
  const char* tail = traceLine.c_str() + at + sizeof kSeparator - 1;
  unsigned long bytes = 0;
  unsigned delayMs = 0;
  int used = 0;
  LineCost cost;
  if (std::sscanf(tail, "%lu B after %u ms%n", &bytes, &delayMs, &used) == 2 &&
      tail[used] == '\0') {
    cost.reply = true;
  } else if (std::sscanf(tail, "%lu B%n", &bytes, &used) != 1 || tail[used] != '\0') {
    return std::nullopt;
  }
  cost.bytes = bytes;
  cost.delayMs = delayMs;
  return cost;
}

void LowerBound::Add(const LineCost& cost) {
  pendingBytes_ += cost.bytes;
  if (!cost.reply) return;
  bytes_ += pendingBytes_;
  delayMs_ += cost.delayMs;
  pendingBytes_ = 0;
}

std::uint64_t LowerBound::Microseconds(std::uint32_t baud) const {
  return LineTimeUs(bytes_, baud) + delayMs_ * 1000;
}

}  // namespace kx::sim
