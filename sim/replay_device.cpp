#include "sim/replay_device.h"

#include <algorithm>

namespace kx::sim {

namespace {

int Nibble(int c) {
  if (c >= 0x30 && c <= 0x3F) return c - 0x30;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

capture::Bytes FromRaw(const std::uint8_t* bytes, std::size_t n) {
  return capture::Bytes(bytes, bytes + n);
}

}  // namespace

std::string DescribeFrame(const capture::Bytes& wire) {
  // STX, two frame digits a byte, ETX (see the library's reader/frame.cpp).
  const auto stx = std::find(wire.begin(), wire.end(), 0x02);
  const auto etx = std::find(stx, wire.end(), 0x03);
  if (stx == wire.end() || etx == wire.end()) return "";
  capture::Bytes raw;
  for (auto it = stx + 1; it + 1 < etx; it += 2) {
    const int high = *it == capture::kRedacted ? -2 : Nibble(*it);
    const int low = *(it + 1) == capture::kRedacted ? -2 : Nibble(*(it + 1));
    if (high == -1 || low == -1) return "";
    raw.push_back(high < 0 || low < 0 ? capture::kRedacted : high * 16 + low);
  }
  if (raw.size() < 3) return "";
  const std::size_t length =
      static_cast<std::size_t>(std::max(0, raw[0]) * 256 + std::max(0, raw[1]));
  if (length + 3 != raw.size()) return "";
  const capture::Bytes body(raw.begin() + 2, raw.end() - 1);
  if (body.size() >= 2 && body[0] == 0x32) {
    switch (body[1]) {
      case 0x22:
        return "power on slot " + std::to_string(body.size() > 4 ? body[4] : -1);
      case 0x23:
        return "power off slot " + std::to_string(body.size() > 2 ? body[2] : -1);
      case 0x26:
        return "APDU to slot " + std::to_string(body.size() > 2 ? body[2] : -1) + ": " +
               capture::SpacedHex(body, 3);
      default:
        return "reader command " + capture::SpacedHex(body, 1, 1) + ": " + capture::SpacedHex(body);
    }
  }
  // A reply: status, then the data (an APDU's reply and its status word).
  if (!body.empty()) {
    return "reply status " + capture::SpacedHex(body, 0, 2) + ": " + capture::SpacedHex(body, 2);
  }
  return "";
}

ReplayDevice::ReplayDevice(const capture::Capture& capture, bool fast) {
  std::string call;
  std::uint32_t last = 0;
  bool replied = true;
  for (const capture::Event& e : capture.events) {
    using capture::Kind;
    if (e.kind == Kind::kCall) {
      call =
          "call " + std::to_string(e.seq) + " " + e.name + " (line " + std::to_string(e.line) + ")";
    } else if (e.kind == Kind::kSerialTx) {
      if (replied || steps_.empty()) {
        steps_.push_back(Step{{}, {}, {}, e.line, call});
        replied = false;
      }
      steps_.back().writeStarts.push_back(steps_.back().sent.size());
      steps_.back().sent.insert(steps_.back().sent.end(), e.bytes.begin(), e.bytes.end());
      last = e.timeMs;
    } else if (e.kind == Kind::kSerialRx && !steps_.empty()) {
      ReplyChunk chunk;
      chunk.delayMs = fast ? 0 : e.timeMs - std::min(last, e.timeMs);
      for (int b : e.bytes) chunk.bytes.push_back(static_cast<std::uint8_t>(b < 0 ? 0x30 : b));
      steps_.back().replies.push_back(std::move(chunk));
      last = e.timeMs;
      replied = true;
    }
  }
}

std::vector<ReplyChunk> ReplayDevice::OnHostBytes(const std::uint8_t* bytes, std::size_t n) {
  std::vector<ReplyChunk> out;
  if (!difference_.empty()) return out;
  for (std::size_t i = 0; i < n; ++i) {
    if (step_ >= steps_.size()) {
      difference_ =
          "the host sent more than was recorded: " + capture::SpacedHex(FromRaw(bytes + i, n - i)) +
          "\n";
      return out;
    }
    if (Feed(bytes[i], out)) continue;
    // Control sequences that did not arrive: skip them, and match what
    // arrived of them against what follows.
    std::vector<std::uint8_t> pending{bytes[i]};
    std::size_t start = 0, end = 0;
    bool ok = false;
    while (!ok && InControlSequence(&start, &end)) {
      const Step& step = steps_[step_];
      std::vector<std::uint8_t> again(step.sent.begin() + static_cast<long>(start),
                                      step.sent.begin() + static_cast<long>(matched_));
      again.insert(again.end(), pending.begin(), pending.end());
      matched_ = end;
      std::size_t fed = 0;
      while (fed < again.size() && Feed(again[fed], out)) ++fed;
      ok = fed == again.size();
      pending.assign(again.begin() + static_cast<long>(fed), again.end());
    }
    if (ok) continue;
    Mismatch(bytes, n, i);
    return out;
  }
  return out;
}

bool ReplayDevice::Feed(std::uint8_t byte, std::vector<ReplyChunk>& out) {
  if (step_ >= steps_.size()) return false;
  Step& step = steps_[step_];
  const int expected = step.sent[matched_];
  if (expected != capture::kRedacted && expected != byte) return false;
  if (++matched_ == step.sent.size()) {
    out.insert(out.end(), step.replies.begin(), step.replies.end());
    ++step_;
    matched_ = 0;
  }
  return true;
}

bool ReplayDevice::InControlSequence(std::size_t* start, std::size_t* end) const {
  if (step_ >= steps_.size()) return false;
  const Step& step = steps_[step_];
  for (std::size_t w = 0; w < step.writeStarts.size(); ++w) {
    const std::size_t from = step.writeStarts[w];
    const std::size_t to =
        w + 1 < step.writeStarts.size() ? step.writeStarts[w + 1] : step.sent.size();
    // The last write of a step is the one the device answers: never skipped.
    if (matched_ >= from && matched_ < to) {
      if (to == step.sent.size() || step.sent[from] != 0x1B) return false;
      *start = from;
      *end = to;
      return true;
    }
  }
  return false;
}

void ReplayDevice::Mismatch(const std::uint8_t* bytes, std::size_t n, std::size_t at) {
  const Step& step = steps_[step_];
  capture::Bytes received(step.sent.begin(), step.sent.begin() + static_cast<long>(matched_));
  received.insert(received.end(), bytes + at, bytes + n);
  // Where the recording hides PIN data, so does the report.
  for (std::size_t k = 0; k < received.size() && k < step.sent.size(); ++k) {
    if (step.sent[k] == capture::kRedacted) received[k] = capture::kRedacted;
  }
  std::string text = "first difference at byte " + std::to_string(matched_) + " of the host's " +
                     "write recorded on line " + std::to_string(step.line) + ", in " +
                     (step.call.empty() ? std::string("no export call") : step.call) + "\n";
  text += "  recorded: " + capture::SpacedHex(step.sent) + "\n";
  text += "  received: " + capture::SpacedHex(received) + "\n";
  const std::string recordedFrame = DescribeFrame(step.sent);
  const std::string receivedFrame = DescribeFrame(received);
  if (!recordedFrame.empty()) text += "  recorded frame: " + recordedFrame + "\n";
  if (!receivedFrame.empty()) text += "  received frame: " + receivedFrame + "\n";
  difference_ = text;
}

}  // namespace kx::sim
