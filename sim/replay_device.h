// The device side of a capture, played back: each frame the host sends is
// answered with the reply recorded after it, at the recorded pace or at once.
// When the host sends something else than was recorded, the device stops
// answering and says where: the recorded and the received bytes, decoded
// down to the APDU, the capture's line and the export call they belong to.
// Bytes recorded as "**" (PIN data) match anything. A control sequence the
// host sent (ESC ..., which the reader does not answer) may be missing: a
// pseudo-terminal drops bytes the device has not read yet when the host
// purges the line before its next write, so the device cannot count on them.
#pragma once

#include <string>
#include <vector>

#include "capture/kxcap.h"
#include "sim/wire.h"

namespace kx::sim {

class ReplayDevice final : public SerialDevice {
 public:
  // `fast`: replies at once, not at the recorded pace.
  ReplayDevice(const capture::Capture& capture, bool fast);

  std::vector<ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override;

  // The first difference, once there is one; empty until then.
  const std::string& Difference() const { return difference_; }
  // True when every recorded host byte was received.
  bool Finished() const { return step_ == steps_.size(); }
  std::size_t StepCount() const { return steps_.size(); }

 private:
  struct Step {
    capture::Bytes sent;                   // what the host wrote (several writes joined)
    std::vector<std::size_t> writeStarts;  // where each recorded write starts in `sent`
    std::vector<ReplyChunk> replies;
    int line = 0;      // the capture line of its first write
    std::string call;  // "call 4 GetReaderStatus (line 12)"
  };
  void Mismatch(const std::uint8_t* bytes, std::size_t n, std::size_t at);
  // Matches one host byte; false on a difference.
  bool Feed(std::uint8_t byte, std::vector<ReplyChunk>& out);
  // The recorded write the current position is in, when it is a control
  // sequence (ESC ...): [start, end) in the step's bytes.
  bool InControlSequence(std::size_t* start, std::size_t* end) const;

  std::vector<Step> steps_;
  std::size_t step_ = 0;
  std::size_t matched_ = 0;  // bytes of the current step received so far
  std::string difference_;
};

// A frame on the line in words: "power on slot 0", "APDU to slot 16:
// 00 A4 00 00 02 3F 00", "reply status 00: 90 00"; empty when the bytes are
// no frame.
std::string DescribeFrame(const capture::Bytes& wire);

}  // namespace kx::sim
