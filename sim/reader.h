// The simulated card reader: speaks the framed protocol on a serial line,
// powers the cards in its slots on and off, carries APDUs to them, ignores
// the raw control sequences, and can misbehave on request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/wire.h"

namespace kx::sim {

// Reader statuses. The 0x1xxx, 0x2xxx and 0x3xxx values are the reader's
// documented ones; the two 0x0Exx values are this reader's answers to frames
// and commands it cannot run, deliberately outside the documented set so a
// host sees a plain failure rather than a card condition.
inline constexpr int kStatusOk = 0x0000;
inline constexpr int kStatusContactUnsupported = 0x1001;
inline constexpr int kStatusContactAbsent = 0x1002;
inline constexpr int kStatusContactPowered = 0x1003;
inline constexpr int kStatusContactNotPowered = 0x1004;
inline constexpr int kStatusPsamAbsent = 0x2005;
inline constexpr int kStatusContactlessUnsupported = 0x3001;
inline constexpr int kStatusContactlessNotActive = 0x3004;
inline constexpr int kStatusContactlessActivationFailed = 0x3005;
inline constexpr int kStatusContactlessTimeout = 0x3006;
inline constexpr int kStatusFrameError = 0x0E01;      // bad digits, length or check
inline constexpr int kStatusUnknownCommand = 0x0E02;  // unknown class, instruction or size

inline constexpr int kSlotContact = 0;
inline constexpr int kSlotContact2 = 1;
inline constexpr int kSlotPsam = 16;
inline constexpr int kSlotPsam2 = 17;
inline constexpr int kSlotContactless = 255;

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
  // kReply: status hi, status lo, data as sent (empty when the reader kept
  // silent; the raw bytes when a raw reply was forced).
  Bytes bytes;
  // What was unusual: the faults applied to a reply, why a frame was refused.
  std::string note;
  // Bytes the entry took on the serial line: a whole command frame, a
  // control sequence, noise, or a reply as sent (0 for the APDUs inside).
  std::size_t lineBytes = 0;
  // kReply: the reader's own time before and within it (its timing, delay
  // and split faults), on top of the line's.
  std::uint32_t replyDelayMs = 0;
  // One readable line, e.g. "APDU>16 00 A4 00 00 02 3F 00"; with the line's
  // share appended (" | 18 B", " | 40 B after 3 ms") when `withLine`.
  std::string Describe(bool withLine = false) const;
};

// How long the reader and its cards take to run a command before the reply
// starts: every command, and the key cryptography of a card (a PSAM's key
// diversification and encryption), which takes longer. None by default.
struct ReaderTiming {
  std::uint32_t commandMs = 0;
  std::uint32_t cryptoMs = 0;
};

// Ways the reader misbehaves. Each applies to every reply while set, unless
// `remaining` limits it to the next n replies (then it clears itself).
// `onlyCommand` narrows the faults to replies to one instruction (0x22 power
// on, 0x23 power off, 0x24/0x25 contactless, 0x26 APDU) and `after` lets that
// many matching replies pass untouched first, so "the third APDU fails" is
// {onlyCommand = 0x26, after = 2, remaining = 1}.
// A silent reader does not run the command either, as a hung reader would;
// every other fault changes only what goes back on the line.
// Damage done to one byte of the reply frame on the wire (counted from STX,
// before any garbage is put in front), as a noisy line does it.
enum class WireDamage {
  kNone,
  kDrop,       // the byte is lost
  kDuplicate,  // the byte arrives twice
  kFlip,       // its lowest bit is flipped
  kEarlyEtx,   // an ETX arrives in its place, the frame's bytes from it on follow
  kNoEtx,      // the closing ETX is lost (the position does not count)
};

struct ReaderFaults {
  bool silent = false;             // send nothing back
  std::uint32_t delayMs = 0;       // wait before the reply
  int splitInto = 1;               // cut the reply into this many chunks
  std::uint32_t splitGapMs = 0;    // pause between the chunks
  bool badCheck = false;           // flip the check byte
  bool letterDigits = false;       // 0-9A-F instead of the frame digits 0-9:;<=>?
  bool lowerCaseLetters = false;   // with letterDigits: a-f
  Bytes garbageBeforeStx;          // sent before STX
  Bytes trailingBytes;             // sent after ETX, in the same chunk
  std::optional<int> status;       // reader status instead of the real one; its data
                                   // are dropped unless replyData is set too
  std::optional<Bytes> rawReply;   // exactly these bytes instead of the reply
  std::optional<Bytes> replyData;  // this data with the real status, e.g. an overlong ATR
  std::optional<int> lengthField;  // this value in the length field
  WireDamage damage = WireDamage::kNone;
  std::size_t damageAt = 5;        // the first status digit: inside the check byte's cover
  int remaining = -1;              // -1: until cleared; n > 0: the next n replies
  std::optional<int> onlyCommand;  // instruction byte the faults are limited to
  int after = 0;                   // matching replies to leave alone first
};

class Reader : public SerialDevice {
 public:
  Reader();
  ~Reader() override;

  // Slots as the reader knows them: 0 contact, 255 contactless, 16 PSAM, 17, 1.
  // Inserting replaces whatever was in the slot; a new card starts unpowered.
  // Removing a powered card cuts its power (Card::PowerOff).
  void Insert(int slot, std::shared_ptr<Card> card);
  void Remove(int slot);
  std::shared_ptr<Card> CardIn(int slot) const;
  bool IsPowered(int slot) const;

  // Called for every decoded command before the reader runs it, with the
  // number of commands seen since the trace was last cleared. A test removes a
  // card or sets a fault here to make step k of one library call go wrong.
  using CommandHook = std::function<void(std::size_t index, const Bytes& body)>;
  void SetCommandHook(CommandHook hook);

  ReaderFaults& faults();
  void ClearFaults();

  void SetTiming(const ReaderTiming& timing);

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
