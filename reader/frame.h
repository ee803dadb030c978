// Reader frame codec and the hexadecimal text codecs (see frame.cpp for the
// frame layout).
#pragma once

#include <cstdint>

namespace kx {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr int kMaxFrameBody = 508;        // command body bytes
inline constexpr int kReceiveBufferSize = 1024;  // raw reply bytes
inline constexpr int kMaxDecodedReply = 300;     // decoded reply bytes
inline constexpr int kMaxReplyData = 295;        // data bytes a reply can carry

// Sends `body` (n bytes, at most kMaxFrameBody) as one frame. 1 when all
// 2n + 8 bytes were written; -2 with "发送数据失败" otherwise. A longer body
// is refused the same way without anything being written.
int SendFrame(const std::uint8_t* body, int n);

// Receives one reply frame within `timeoutSeconds`, checks it and maps the
// reader status. On success copies the data into `data`, sets *dataLength and
// returns 1. Otherwise returns a negative code with its message in ErrorText.
// A reply whose length field is below 2 or promises more data than the frame
// carries is refused with -4 "通信校验错误"; one whose data exceed `capacity`
// is refused with -4 and an empty text. Nothing is ever cut to fit.
int ReceiveFrame(std::uint8_t* data, int capacity, int* dataLength, int timeoutSeconds);

// Reader status to result code; the status message replaces ErrorText.
int MapReaderStatus(int status);

// mode 0: "01 AB ", mode 1: "01AB", any other: frame digits "01:;".
// A NUL follows; count <= 0 writes nothing. Returns 1.
int HexEncode(int mode, const std::uint8_t* bytes, char* text, int count);

// Decodes `length` characters, skipping spaces. Writes a 0 after the last
// byte. Returns the byte count, or -1 when a space stands where a pair's
// second digit belongs. A last digit without a partner within `length` is
// ignored; nothing past `length` is read.
int HexDecode(const char* text, std::uint8_t* bytes, int length);

// Copies the characters between the first `start` and the first `end` byte of
// `text` into `out` (at most outCapacity - 1, then a NUL). Returns the number
// of characters copied, -1 without a start byte, -2 without an end byte, 0 or
// less when the end comes first (nothing copied).
int ExtractBetween(std::uint8_t start, std::uint8_t end, const char* text, char* out,
                   int outCapacity);

// XOR of `count` bytes; 0 for count <= 0.
std::uint8_t XorCheck(int count, const std::uint8_t* bytes);

}  // namespace kx
