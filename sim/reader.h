// The simulated card reader: speaks the framed protocol on a serial line,
// powers the cards in its slots on and off, carries APDUs to them, ignores
// the raw control sequences, and can misbehave on request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/wire.h"

namespace kx::sim {

// One line of the trace.
struct TraceEntry {
  enum class Kind {
    kCommand,   // a decoded command body (32 22 00 00 00 ...)
    kReply,     // the decoded reply block the reader sent: status and data
    kControl,   // a raw control sequence (1B 25 49 34, 1B 25 42)
    kApdu,      // a command APDU carried to the card in `slot`
    kResponse,  // the card's answer to it (data and SW)
    kGarbage,   // bytes the reader could not make sense of
  };
  Kind kind;
  int slot = -1;
  Bytes bytes;
  std::string Describe() const;  // one readable line, e.g. "APDU>16 00 A4 00 00 02 3F 00"
};

// Ways the reader misbehaves. Each applies to every reply while set, unless
// `remaining` limits it to the next n replies (then it clears itself).
struct ReaderFaults {
  bool silent = false;            // send nothing back
  std::uint32_t delayMs = 0;      // wait before the reply
  int splitInto = 1;              // cut the reply into this many chunks
  std::uint32_t splitGapMs = 0;   // pause between the chunks
  bool badCheck = false;          // flip the check byte
  bool letterDigits = false;      // 0-9A-F instead of the frame digits 0-9:;<=>?
  bool lowerCaseLetters = false;  // with letterDigits: a-f
  Bytes garbageBeforeStx;         // sent before STX
  Bytes trailingBytes;            // sent after ETX, in the same chunk
  std::optional<int> status;      // reader status instead of the real one (data dropped)
  std::optional<Bytes> rawReply;  // exactly these bytes instead of the reply
  std::optional<Bytes> replyData; // this data with the real status, e.g. an overlong ATR
  std::optional<int> lengthField; // this value in the length field
  int remaining = -1;             // -1: until cleared; n > 0: the next n replies
};

class Reader : public SerialDevice {
 public:
  Reader();
  ~Reader() override;

  // Slots as the reader knows them: 0 contact, 255 contactless, 16 PSAM, 17, 1.
  void Insert(int slot, std::shared_ptr<Card> card);
  void Remove(int slot);
  std::shared_ptr<Card> CardIn(int slot) const;

  ReaderFaults& faults();
  void ClearFaults();

  const std::vector<TraceEntry>& trace() const;
  void ClearTrace();
  // The APDUs carried to `slot`, in order.
  std::vector<Bytes> ApdusTo(int slot) const;
  // The command bodies received, in order.
  std::vector<Bytes> Commands() const;
  // Whole trace, one line per entry.
  std::string TraceText() const;

  std::vector<ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Encoders shared by the reader model and tests: a frame as the reader sends
// it (status, data) and as the library sends it (body).
Bytes EncodeReplyFrame(int status, const Bytes& data, bool letterDigits = false);
Bytes EncodeCommandFrame(const Bytes& body);

}  // namespace kx::sim
