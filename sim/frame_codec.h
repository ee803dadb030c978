// The simulated reader's own frame codec. The simulator is a device of its
// own: it shares no code with the library's frame layer, so a fault in one
// cannot hide the same fault in the other.
//
//   command:  STX  digits( N hi | N lo | body[N] | XOR(body) )                 ETX
//   reply:    STX  digits( L hi | L lo | status hi | status lo | data[L-2] |
//                          XOR(status, data) )                                 ETX
//
// Every byte travels as two "frame digits", high nibble first, each nibble
// written as 0x30 + n (so 10..15 are ':' ';' '<' '=' '>' '?'). Ordinary hex
// letters in either case are read as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEsc = 0x1B;

enum class DigitStyle {
  kFrame,         // 0-9 :;<=>?
  kUpperLetters,  // 0-9 A-F
  kLowerLetters,  // 0-9 a-f
};

// Appends the two digits of every byte.
void AppendDigits(Bytes& out, const std::uint8_t* bytes, std::size_t n, DigitStyle style);

// The value of one frame digit or hex letter, or -1.
int DigitValue(std::uint8_t c);

// Strict decoding of digit text: every character must be a digit and the
// count even. nullopt otherwise.
std::optional<Bytes> DecodeDigits(const std::uint8_t* text, std::size_t n);

std::uint8_t XorOf(const std::uint8_t* bytes, std::size_t n);

// Why a frame was refused.
enum class FrameError {
  kNone,
  kEmpty,           // nothing between STX and ETX
  kBadDigit,        // a character that is no digit
  kOddDigits,       // a digit without its partner
  kTooShort,        // fewer bytes than length field and check need
  kLengthMismatch,  // the length field disagrees with the bytes carried
  kBadCheck,        // XOR check differs
};
const char* FrameErrorName(FrameError error);

// The text between STX and ETX of a command frame.
struct DecodedCommand {
  FrameError error = FrameError::kNone;
  Bytes body;
};
DecodedCommand DecodeCommandText(const std::uint8_t* text, std::size_t n);

struct ReplyEncoding {
  DigitStyle digits = DigitStyle::kFrame;
  bool flipCheck = false;          // a check byte that is wrong
  std::optional<int> lengthField;  // instead of 2 + data length
};
Bytes EncodeReply(int status, const Bytes& data, const ReplyEncoding& how);
Bytes EncodeCommand(const Bytes& body);

// A whole reply frame as a host would read it; bytes before STX and after
// ETX are ignored. `lengthField` is reported as sent, the data are whatever
// the frame carries between status and check.
struct DecodedReply {
  FrameError error = FrameError::kNone;
  int lengthField = 0;
  int status = 0;
  Bytes data;
};
DecodedReply DecodeReplyFrame(const Bytes& frame);

}  // namespace kx::sim
