/*
 * Reader frames.
 *
 * Command frame (host to reader), N = body length, at most 508:
 *
 *   +-----+--------------------------------------------------+-----+
 *   | STX |  frame digits of the raw block (2 * (N + 3))     | ETX |
 *   | 02  |                                                  | 03  |
 *   +-----+--------------------------------------------------+-----+
 *            raw block:
 *            +------+------+----------------------+-------+
 *            | N hi | N lo | body (N bytes)       | check |  check = XOR of the
 *            +------+------+----------------------+-------+  body bytes only
 *
 *   2N + 8 bytes on the wire. Example: body 32 22 00 00 00 goes out as
 *   02 "0005322200000010" 03.
 *
 * Reply frame (reader to host): STX, frame digits of the reply block, ETX.
 *
 *   +------+------+--------+--------+-------------------+-------+
 *   | L hi | L lo | st  hi | st  lo | data (L - 2)      | check |
 *   +------+------+--------+--------+-------------------+-------+
 *    L = 2 + data length; check = XOR of the status and data bytes.
 *
 * Frame digits: every byte is two characters, high nibble first, nibble n
 * written as 0x30 + n, so 10..15 are ':' ';' '<' '=' '>' '?'. Replies may
 * also use ordinary hexadecimal letters in either case; the decoder reads
 * both; any other character makes the frame bad. Anything before the first
 * STX is ignored, NUL bytes included.
 */
#include "reader/frame.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "core/trace.h"
#include "core/wipe.h"
#include "link/link_result.h"
#include "link/reader_port.h"

namespace kx {

namespace {

constexpr int kFrameBufferSize = 1024;
constexpr int kRawBlockSize = 512;
// Length field, status and check: the smallest reply block there is.
constexpr int kReplyOverhead = 5;

static_assert(2 * (kMaxFrameBody + 3) + 2 <= kFrameBufferSize,
              "the largest command frame must fit the frame buffer");
static_assert(kMaxFrameBody + 3 <= kRawBlockSize);
static_assert(kMaxReplyData == kMaxDecodedReply - kReplyOverhead);
static_assert(kMaxDecodedReply < kDecodedReplyBlock,
              "every decoded reply plus its trailing zero must fit");

struct ReaderStatusRow {
  int status;
  const char* message;
  int result;
};

constexpr ReaderStatusRow kReaderStatusTable[] = {
    {0x0000, "", kOk},
    {0x1001, "不支持接触式用户卡", kErrUnsupported},
    {0x1002, "接触式用户卡未插到位", kErrNoUserCard},
    {0x1003, "接触式用户卡已上电", kOk},
    {0x1004, "接触式用户卡未上电", kErrUserCardPower},
    {0x2005, "未插入SAM卡", kErrSam},
    {0x3001, "不支持非接触用户卡", kErrUnsupported},
    {0x3004, "非接触式用户卡未激活", kErrUserCardPower},
    {0x3005, "非接触用户卡激活失败", kErrUserCardPower},
    {0x3006, "等待卡进入感应区超时,或操作非接触式用户卡数据无回应", kErrUserCardPower},
};
static_assert(std::size(kReaderStatusTable) == 10);

// Link statuses to codes, in one place. A device that went away is -2 on
// the serial line (its port is closed with it, as when none was open) and
// -4 over HID, where hosts have always seen it as a reply that did not come.
struct LinkCodeRow {
  LinkStatus status;
  int serial;
  int hid;
};

constexpr LinkCodeRow kLinkReadCodes[] = {
    {LinkStatus::kNotOpen, kErrPort, kOk},          // HID: the empty reply
    {LinkStatus::kTimedOut, kErrComm, kErrComm},    // the limit, or a follow-up report
    {LinkStatus::kEscape, kErrComm, kErrComm},      // the key
    {LinkStatus::kDeviceGone, kErrPort, kErrComm},  // pulled out, unplugged
    {LinkStatus::kUnusable, kErrPort, kErrPort},    // the report lengths
    {LinkStatus::kTooLong, kErrComm, kErrComm},     // an answer past the buffer
    {LinkStatus::kBadArgument, kErrParam, kErrParam},
};

// The reader's digits 0-9 and ':' to '?', and hexadecimal letters in
// either case.
bool IsFrameDigit(char c) {
  return (c >= '0' && c <= '?') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The trace's view of the wire: frame digits as they are, STX and ETX by
// name, any other byte as <XX>. Characters whose index is in
// [secretFrom, secretTo) are written as '*'.
void AddWire(TraceLine& line, const std::uint8_t* wire, int count, int secretFrom, int secretTo) {
  for (int i = 0; i < count; ++i) {
    const std::uint8_t b = wire[i];
    if (i >= secretFrom && i < secretTo) {
      line.Add("*");
    } else if (b == kStx) {
      line.Add("<STX>");
    } else if (b == kEtx) {
      line.Add("<ETX>");
    } else if (b > 0x20 && b < 0x7F) {
      const char c[2] = {static_cast<char>(b), '\0'};
      line.Add(c);
    } else {
      line.Format("<%02X>", b);
    }
  }
}

const char* FrameCommandName(std::uint8_t command) {
  switch (command) {
    case kPowerOn:
      return "power on";
    case kPowerOff:
      return "power off";
    case kActivateContactless:
      return "activate contactless";
    case kDeactivateContactless:
      return "deactivate contactless";
    case kTransportApdu:
      return "APDU";
    default:
      return "command";
  }
}

// A command frame as written: its body (reader class, command, slot, APDU),
// the bytes on the wire, the body's secret bytes from `secretFrom` on.
void TraceFrameSent(const std::uint8_t* body, int bodyLength, const std::uint8_t* wire,
                    int wireLength, int secretFrom) {
  TraceLine line;
  line.Add("frame > ");
  int wireSecretFrom = wireLength;
  int wireSecretTo = wireLength;
  if (body != nullptr && bodyLength >= 2 && body[0] == kReaderClass) {
    line.Add(FrameCommandName(body[1]));
    // Power-on carries its slot last (32 22 00 00 slot), the others third.
    const int slotAt = body[1] == kPowerOn ? 4 : 2;
    if (bodyLength > slotAt) line.Format(" slot %d", body[slotAt]);
    if (secretFrom < bodyLength) {
      // Body byte i is raw byte i + 2 (after the length), written as the
      // wire characters 1 + 2 * (i + 2) and the one after; the check byte
      // that follows the body is hidden too, as it depends on the PIN.
      wireSecretFrom = 1 + 2 * (secretFrom + 2);
      wireSecretTo = 1 + 2 * (bodyLength + 3);
    }
    line.Add(": ");
  }
  if (wire != nullptr) AddWire(line, wire, wireLength, wireSecretFrom, wireSecretTo);
  line.Format(" (%d bytes)", wireLength);
  line.Emit();
}

// What the read of a reply gave: `wireLength` bytes, or a negative code when
// nothing usable came.
void TraceFrameReceived(const std::uint8_t* wire, int wireLength) {
  TraceLine line;
  line.Add("frame < ");
  if (wireLength < 0 || wire == nullptr) {
    line.Format("no reply (%d)", wireLength);
  } else {
    AddWire(line, wire, wireLength, wireLength, wireLength);
    line.Format(" (%d bytes)", wireLength);
  }
  line.Emit();
}

}  // namespace

std::uint8_t XorCheck(int count, const std::uint8_t* bytes) {
  std::uint8_t check = 0;
  for (int i = 0; i < count; ++i) check ^= bytes[i];
  return check;
}

int ExtractBetween(std::uint8_t start, std::uint8_t end, const char* text, char* out,
                   int outCapacity) {
  if (text == nullptr) return -1;
  const char* first = std::strchr(text, static_cast<char>(start));
  if (start == 0 || first == nullptr) return -1;
  const char* last = std::strchr(text, static_cast<char>(end));
  if (end == 0 || last == nullptr) return -2;
  int count = static_cast<int>(last - first) - 1;
  if (count <= 0) return count;
  if (out == nullptr || outCapacity < 1) return 0;
  count = std::min(count, outCapacity - 1);
  std::memcpy(out, first + 1, static_cast<std::size_t>(count));
  out[count] = '\0';
  return count;
}

int LinkReadCode(LinkStatus status, LinkSide side) {
  for (const LinkCodeRow& row : kLinkReadCodes) {
    if (row.status == status) return side == LinkSide::Serial ? row.serial : row.hid;
  }
  return kErrPort;  // open statuses: a read never gives them
}

int MapReaderStatus(int status) {
  for (const ReaderStatusRow& row : kReaderStatusTable) {
    if (row.status == status) {
      ErrorTextReplace(row.message);
      return row.result;
    }
  }
  ErrorTextClear();
  return kErrUnknown;
}

int SendFrame(const std::uint8_t* body, int n, int secretFrom) {
  // A body the frame cannot hold never reaches the reader, cut or otherwise.
  if (n < 0 || n > kMaxFrameBody || (n > 0 && body == nullptr)) {
    ErrorTextReplace("发送数据失败");
    return kErrPort;
  }
  // A command may carry PIN digits: the copies made here go with the call.
  std::uint8_t raw[kRawBlockSize] = {};
  WipeOnExit wipeRaw(raw, static_cast<std::size_t>(n + 3));
  raw[0] = static_cast<std::uint8_t>(n >> 8);
  raw[1] = static_cast<std::uint8_t>(n & 0xFF);
  if (n > 0) std::memcpy(raw + 2, body, static_cast<std::size_t>(n));
  raw[n + 2] = XorCheck(n, body);

  std::uint8_t frame[kFrameBufferSize] = {};
  WipeOnExit wipeFrame(frame, static_cast<std::size_t>(2 * n + 8));
  frame[0] = kStx;
  HexEncode(HexMode::FrameDigits, raw, reinterpret_cast<char*>(frame + 1), n + 3);
  frame[2 * n + 7] = kEtx;

  const int frameLength = 2 * n + 8;
  if (TraceOn()) TraceFrameSent(body, n, frame, frameLength, secretFrom);
  if (!ReaderPort.Write(frame, frameLength).ok()) {
    ErrorTextReplace("发送数据失败");
    return kErrPort;
  }
  return kOk;
}

int DecodeReplyFrame(const std::uint8_t* received, int n, ReplyFrame* frame) {
  *frame = ReplyFrame{};
  // Line noise may come before the frame, NUL bytes and stray ETX included:
  // the frame starts at the first STX and ends at the first ETX after it.
  const auto* end = received + std::max(n, 0);
  const std::uint8_t* stx = std::find(received, end, kStx);
  if (stx == end) {
    ErrorTextFormat("获取接收的中间数据失败，返回：%d", -1);
    return kErrComm;
  }
  const std::uint8_t* etx = std::find(stx + 1, end, kEtx);
  if (etx == end) {
    ErrorTextFormat("获取接收的中间数据失败，返回：%d", -2);
    return kErrComm;
  }
  const int m = static_cast<int>(etx - stx) - 1;
  if (m < 1) {
    ErrorTextFormat("获取接收的中间数据失败，返回：%d", m);
    return kErrComm;
  }
  if (m / 2 > kMaxDecodedReply) return kErrComm;

  // Every character is a digit and every byte has both of its digits: a
  // frame with anything else in it was damaged on the way, whatever its
  // check byte says.
  const char* digits = reinterpret_cast<const char*>(stx + 1);
  if (m % 2 != 0 || !std::all_of(digits, digits + m, IsFrameDigit)) {
    ErrorTextReplace("通信校验错误");
    return kErrComm;
  }
  const int k = HexDecode(digits, frame->block, m);

  // A block too short for length, status and check cannot be checked at all.
  if (k < kReplyOverhead || XorCheck(k - 3, frame->block + 2) != frame->block[k - 1]) {
    ErrorTextReplace("通信校验错误");
    return kErrComm;
  }
  frame->status = frame->block[2] * 256 + frame->block[3];
  frame->declared = frame->block[0] * 256 + frame->block[1] - 2;
  frame->carried = k - kReplyOverhead;
  return kOk;
}

int ReceiveFrame(std::uint8_t* data, int capacity, int* dataLength, int timeoutSeconds) {
  if (data != nullptr && capacity > 0) {
    std::memset(data, 0, static_cast<std::size_t>(std::min(capacity, 4)));
  }
  if (dataLength != nullptr) *dataLength = 0;

  std::uint8_t received[kReceiveBufferSize] = {};
  const LinkResult read = ReaderPort.Read(received, kReceiveBufferSize, kEtx, timeoutSeconds);
  const int n = read.ok() ? read.count : LinkReadCode(read.status, LinkKind);
  if (TraceOn()) TraceFrameReceived(received, n);
  ErrorTextClear();
  if (n < 0) {
    ErrorTextFormat("接收数据失败，返回：%d", n);
    return n;
  }

  ReplyFrame frame;
  const int decoded = DecodeReplyFrame(received, std::min(n, kReceiveBufferSize), &frame);
  if (decoded != kOk) return decoded;

  const int result = MapReaderStatus(frame.status);
  if (result != kOk) return result;

  // A length field that disagrees with what arrived makes the frame
  // unreadable; taking it at its word would copy bytes that never came.
  if (frame.declared < 0 || frame.declared > frame.carried) {
    ErrorTextReplace("通信校验错误");
    return kErrComm;
  }
  // Cutting a reset answer or a card reply to fit would hand the caller
  // corrupted data as a success; an overlong reply is refused like one over
  // the frame limit.
  if (frame.declared > capacity || (frame.declared > 0 && data == nullptr)) {
    ErrorTextClear();
    return kErrComm;
  }
  if (frame.declared > 0) {
    std::memcpy(data, frame.data(), static_cast<std::size_t>(frame.declared));
  }
  if (dataLength != nullptr) *dataLength = frame.declared;
  return kOk;
}

}  // namespace kx
