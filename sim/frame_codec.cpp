#include "sim/frame_codec.h"

namespace kx::sim {

namespace {

char NibbleDigit(int nibble, DigitStyle style) {
  if (nibble < 10) return static_cast<char>('0' + nibble);
  switch (style) {
    case DigitStyle::kUpperLetters:
      return static_cast<char>('A' + nibble - 10);
    case DigitStyle::kLowerLetters:
      return static_cast<char>('a' + nibble - 10);
    case DigitStyle::kFrame:
      break;
  }
  return static_cast<char>('0' + nibble);
}

// The bytes between the first STX and the first ETX after it, or nullopt.
std::optional<Bytes> Between(const Bytes& frame) {
  std::size_t start = 0;
  while (start < frame.size() && frame[start] != kStx) ++start;
  if (start == frame.size()) return std::nullopt;
  std::size_t end = start + 1;
  while (end < frame.size() && frame[end] != kEtx) ++end;
  if (end == frame.size()) return std::nullopt;
  return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(start + 1),
               frame.begin() + static_cast<std::ptrdiff_t>(end));
}

FrameError DecodeBlock(const std::uint8_t* text, std::size_t n, Bytes& block) {
  if (n == 0) return FrameError::kEmpty;
  for (std::size_t i = 0; i < n; ++i) {
    if (DigitValue(text[i]) < 0) return FrameError::kBadDigit;
  }
  if (n % 2 != 0) return FrameError::kOddDigits;
  block = *DecodeDigits(text, n);
  return FrameError::kNone;
}

}  // namespace

void AppendDigits(Bytes& out, const std::uint8_t* bytes, std::size_t n, DigitStyle style) {
  out.reserve(out.size() + 2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(static_cast<std::uint8_t>(NibbleDigit(bytes[i] >> 4, style)));
    out.push_back(static_cast<std::uint8_t>(NibbleDigit(bytes[i] & 0x0F, style)));
  }
}

int DigitValue(std::uint8_t c) {
  if (c >= 0x30 && c <= 0x3F) return c - 0x30;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<Bytes> DecodeDigits(const std::uint8_t* text, std::size_t n) {
  if (n % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(n / 2);
  for (std::size_t i = 0; i < n; i += 2) {
    const int hi = DigitValue(text[i]);
    const int lo = DigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::uint8_t XorOf(const std::uint8_t* bytes, std::size_t n) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < n; ++i) x ^= bytes[i];
  return x;
}

const char* FrameErrorName(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "ok";
    case FrameError::kEmpty:
      return "empty frame";
    case FrameError::kBadDigit:
      return "bad digit";
    case FrameError::kOddDigits:
      return "odd digit count";
    case FrameError::kTooShort:
      return "frame too short";
    case FrameError::kLengthMismatch:
      return "length field mismatch";
    case FrameError::kBadCheck:
      return "bad check byte";
  }
  return "?";
}

DecodedCommand DecodeCommandText(const std::uint8_t* text, std::size_t n) {
  DecodedCommand result;
  Bytes block;
  result.error = DecodeBlock(text, n, block);
  if (result.error != FrameError::kNone) return result;
  if (block.size() < 3) {
    result.error = FrameError::kTooShort;
    return result;
  }
  const std::size_t length = static_cast<std::size_t>(block[0]) << 8 | block[1];
  if (block.size() != length + 3) {
    result.error = FrameError::kLengthMismatch;
    return result;
  }
  if (XorOf(block.data() + 2, length) != block.back()) {
    result.error = FrameError::kBadCheck;
    return result;
  }
  result.body.assign(block.begin() + 2, block.end() - 1);
  return result;
}

Bytes EncodeReply(int status, const Bytes& data, const ReplyEncoding& how) {
  const int length = how.lengthField ? *how.lengthField : static_cast<int>(2 + data.size());
  Bytes block;
  block.reserve(data.size() + 5);
  block.push_back(static_cast<std::uint8_t>(length >> 8 & 0xFF));
  block.push_back(static_cast<std::uint8_t>(length & 0xFF));
  block.push_back(static_cast<std::uint8_t>(status >> 8 & 0xFF));
  block.push_back(static_cast<std::uint8_t>(status & 0xFF));
  block.insert(block.end(), data.begin(), data.end());
  std::uint8_t check = XorOf(block.data() + 2, block.size() - 2);
  if (how.flipCheck) check ^= 0xFF;
  block.push_back(check);

  Bytes frame{kStx};
  AppendDigits(frame, block.data(), block.size(), how.digits);
  frame.push_back(kEtx);
  return frame;
}

Bytes EncodeCommand(const Bytes& body) {
  Bytes block;
  block.reserve(body.size() + 3);
  block.push_back(static_cast<std::uint8_t>(body.size() >> 8 & 0xFF));
  block.push_back(static_cast<std::uint8_t>(body.size() & 0xFF));
  block.insert(block.end(), body.begin(), body.end());
  block.push_back(XorOf(body.data(), body.size()));

  Bytes frame{kStx};
  AppendDigits(frame, block.data(), block.size(), DigitStyle::kFrame);
  frame.push_back(kEtx);
  return frame;
}

DecodedReply DecodeReplyFrame(const Bytes& frame) {
  DecodedReply result;
  const std::optional<Bytes> text = Between(frame);
  if (!text) {
    result.error = FrameError::kEmpty;
    return result;
  }
  Bytes block;
  result.error = DecodeBlock(text->data(), text->size(), block);
  if (result.error != FrameError::kNone) return result;
  if (block.size() < 5) {
    result.error = FrameError::kTooShort;
    return result;
  }
  result.lengthField = block[0] << 8 | block[1];
  result.status = block[2] << 8 | block[3];
  result.data.assign(block.begin() + 4, block.end() - 1);
  if (XorOf(block.data() + 2, block.size() - 3) != block.back()) {
    result.error = FrameError::kBadCheck;
  } else if (static_cast<std::size_t>(result.lengthField) != 2 + result.data.size()) {
    result.error = FrameError::kLengthMismatch;
  }
  return result;
}

}  // namespace kx::sim
