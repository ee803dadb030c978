// Reader frame codec (see frame.cpp for the frame layout). Results follow
// core/result.h: 0 or a negative code.
#pragma once

#include <cstdint>

#include "core/state.h"

namespace kx {

enum class LinkStatus : std::uint8_t;  // link/link_result.h
enum class LinkSide;                   // link/link_state.h


// A command body: the reader class, the command, then its arguments (an
// APDU transport: the slot, then the APDU).
inline constexpr std::uint8_t kReaderClass = 0x32;
enum ReaderCommand : std::uint8_t {
  kPowerOn = 0x22,
  kPowerOff = 0x23,
  kActivateContactless = 0x24,
  kDeactivateContactless = 0x25,
  kTransportApdu = 0x26,
};
inline constexpr int kTransportHeader = 3;
inline constexpr int kMaxFrameBody = 508;        // command body bytes
inline constexpr int kReceiveBufferSize = 1024;  // raw reply bytes
inline constexpr int kMaxDecodedReply = 300;     // decoded reply bytes
inline constexpr int kMaxReplyData = 295;        // data bytes a reply can carry

// The library's code for a link read that did not succeed (the status is
// not kOk), on the side of the link it came from. 0 means "go on with the
// empty reply": the HID side answers a read without a device with nothing,
// and the frame layer then finds no frame in it. Every failed write is -2.
int LinkReadCode(LinkStatus status, LinkSide side);

// Sends `body` (n bytes, at most kMaxFrameBody) as one frame. 0 when all
// 2n + 8 bytes were written; -2 with "发送数据失败" otherwise. A longer body
// is refused the same way without anything being written. The body's bytes
// from `secretFrom` on (PIN data) never reach the trace.
int SendFrame(const std::uint8_t* body, int n, int secretFrom);
inline int SendFrame(const std::uint8_t* body, int n) {
  return SendFrame(body, n, n);
}

// A reply frame taken apart: the decoded block (length field, status, data,
// check) and what it says.
inline constexpr int kDecodedReplyBlock = 512;
struct ReplyFrame {
  std::uint8_t block[kDecodedReplyBlock] = {};
  int status = 0;
  int declared = 0;  // data bytes the length field announces (may be < 0)
  int carried = 0;   // data bytes the block holds between status and check
  const std::uint8_t* data() const { return block + 4; }
};

// Finds the reply frame in the `n` bytes received (anything before the
// first STX is ignored, NUL included; the frame ends at the first ETX after
// it), checks its digits, size and check byte, and takes it apart. 0, or -4
// with the frame layer's message in ErrorText (none for a frame over the
// 300-byte limit). The length field is reported, not judged.
int DecodeReplyFrame(const std::uint8_t* received, int n, ReplyFrame* frame);

// Receives one reply frame within `timeoutSeconds`, checks it and maps the
// reader status. On success copies the data into `data`, sets *dataLength and
// returns 0. Otherwise returns a negative code with its message in ErrorText.
// A reply whose length field is below 2 or promises more data than the frame
// carries is refused with -4 "通信校验错误"; one whose data exceed `capacity`
// is refused with -4 and an empty text. Nothing is ever cut to fit.
int ReceiveFrame(std::uint8_t* data, int capacity, int* dataLength, int timeoutSeconds);

// Reader status to result code (0 for the statuses that mean success); the
// status message replaces ErrorText.
int MapReaderStatus(int status);

// Copies the characters between the first `start` and the first `end` byte of
// `text` into `out` (at most outCapacity - 1, then a NUL). Returns the number
// of characters copied, -1 without a start byte, -2 without an end byte, 0 or
// less when the end comes first (nothing copied).
int ExtractBetween(std::uint8_t start, std::uint8_t end, const char* text, char* out,
                   int outCapacity);

// XOR of `count` bytes; 0 for count <= 0.
std::uint8_t XorCheck(int count, const std::uint8_t* bytes);

}  // namespace kx
