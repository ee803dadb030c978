// The APDU exchange. A T=0 card answers a command in one of three ways:
// with its reply and a final status word, with 61xx ("xx more bytes wait,
// fetch them with GET RESPONSE") or with 6Cxx ("wrong Le, send it again
// with Le = xx"). The exchange takes each of the two extra steps at most
// once, GET RESPONSE first, and hands anything else back as the card said it.
#include "card/apdu.h"

#include <algorithm>
#include <cstring>

#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "core/trace.h"
#include "core/wipe.h"
#include "platform/platform.h"
#include "reader/commands.h"
#include "reader/frame.h"

namespace kx {

namespace {

static_assert(kMaxApduReply == kMaxReplyData, "a reply buffer holds what one frame carries");
static_assert(kMaxApduCommand + 3 <= kMaxFrameBody, "a command fits one transport frame");

constexpr std::uint8_t kSw1ResponseWaiting = 0x61;
constexpr std::uint8_t kSw1WrongLength = 0x6C;
constexpr int kPowerOnPauseMs = 100;

// The copy of the command kept for a 6Cxx re-send.
constexpr int kResendCopySize = 512;
static_assert(kMaxApduCommand <= kResendCopySize);

// GetASC writes a zero after the last byte.
constexpr int kTextCommandBytes = kMaxApduHexCommand / 2 + 1;

// Whether the command has no Le: a header alone (case 1), or a header, Lc
// and exactly Lc data bytes (case 3, short or extended). Its last byte is
// then data, and a 6Cxx re-send that replaced it would write a corrupted
// record or piece to the card; its 6Cxx is handed back instead.
bool CarriesNoLe(const std::uint8_t* command, int length) {
  if (length == 4) return true;
  if (length <= 5) return false;
  if (command[4] != 0) return length == 5 + command[4];
  return length > 7 && length == 7 + (command[5] * 256 + command[6]);
}

// What a command meets once its operation's link was dropped: the send a
// closed link refuses.
int DroppedLink(Operation& op) {
  op.text.Replace("发送数据失败");
  return kErrPort;
}

// One APDU to the operation's card; *n receives the reply's length. A reply
// without room for a status word counts as no reply at all.
int TransmitOnce(Operation& op, const std::uint8_t* command, int length, std::uint8_t* reply,
                 int* n) {
  if (op.linkDropped) return DroppedLink(op);
  const int r = TransmitApdu(op.slot, command, length, ApduSecretOffset(command, length), reply,
                             kMaxApduReply, n);
  if (r != kOk) return r;
  return *n < 2 ? kErrPort : kOk;
}

// The exchange itself; *replyLength is written whenever a reply came back.
int ExchangeSteps(Operation& op, int length, const std::uint8_t* command, int* replyLength,
                  std::uint8_t* reply) {
  int n = 0;
  int r = TransmitOnce(op, command, length, reply, &n);
  if (r != kOk) return r;

  if (n == 2 && reply[0] == kSw1ResponseWaiting) {
    const std::uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, reply[1]};
    r = TransmitOnce(op, getResponse, 5, reply, &n);
    if (r != kOk) return r;
  }

  if (n == 2 && reply[0] == kSw1WrongLength && !CarriesNoLe(command, length)) {
    std::uint8_t resend[kResendCopySize];
    WipeOnExit wipeResend(resend, static_cast<std::size_t>(length));
    std::memcpy(resend, command, static_cast<std::size_t>(length));
    resend[length - 1] = reply[1];
    r = TransmitOnce(op, resend, length, reply, &n);
    if (r != kOk) return r;
  }

  *replyLength = n;
  const int sw1 = reply[n - 2];
  const int sw2 = reply[n - 1];
  if (sw1 == 0x90 && sw2 == 0x00) return kOk;
  // No card speaks a status word 00 xx; as a code it would read as success
  // (00 00) or as one of the library's own failures (00 02 as -2).
  if (sw1 == 0x00) {
    op.text.Format("无效的状态字 %02X%02X", sw1, sw2);
    return kErrComm;
  }
  return StatusWordCode(sw1, sw2);
}

// One exchange as its caller saw it (GET RESPONSE and re-sends included):
// the command, the final reply with its status word, the result.
void TraceApdu(int slot, const std::uint8_t* command, int commandLength, const std::uint8_t* reply,
               int replyLength, int result, std::uint32_t elapsedMs) {
  TraceLine line;
  line.Format("apdu slot %d > ", slot);
  if (command != nullptr && commandLength > 0) {
    line.Hex(command, commandLength, ApduSecretOffset(command, commandLength));
  }
  line.Add(" < ");
  if (reply != nullptr && replyLength >= 2) {
    line.Hex(reply, replyLength - 2, replyLength);
    line.Format("%sSW %02X%02X", replyLength > 2 ? " " : "", reply[replyLength - 2],
                reply[replyLength - 1]);
  } else {
    line.Add("no reply");
  }
  line.Format(" = %d, %u ms", result, static_cast<unsigned>(elapsedMs));
  line.Emit();
}

}  // namespace

void CommandApdu::AppendData(const std::uint8_t* data, int lc) {
  if (lc < 0 || lc > kMaxData || (lc > 0 && data == nullptr)) {
    valid_ = false;
    return;
  }
  bytes_[size_++] = static_cast<std::uint8_t>(lc);
  if (lc > 0) std::memcpy(bytes_ + size_, data, static_cast<std::size_t>(lc));
  size_ += lc;
}

CommandApdu CommandApdu::WithData(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                  std::uint8_t p2, const std::uint8_t* data, int lc) {
  CommandApdu c(cla, ins, p1, p2);
  c.AppendData(data, lc);
  return c;
}

CommandApdu CommandApdu::WithDataAndLe(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                       std::uint8_t p2, const std::uint8_t* data, int lc, int le) {
  CommandApdu c = WithData(cla, ins, p1, p2, data, lc);
  if (c.valid_) c.AppendLe(le);
  return c;
}

int Exchange(Operation& op, const CommandApdu& command, Response* response) {
  if (!command.valid()) {
    op.text.Replace("capdu 的长度超出范围");
    return kErrParam;
  }
  response->length = 0;
  return ExchangeApdu(op, command.size(), command.bytes(), &response->length, response->bytes);
}

int ExchangeApdu(Operation& op, int length, const std::uint8_t* command, int* replyLength,
                 std::uint8_t* reply) {
  if (length < 1 || length > kMaxApduCommand) {
    op.text.Replace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (command == nullptr || replyLength == nullptr || reply == nullptr) return kErrParam;

  std::memset(reply, 0, 4);
  if (!TraceOn()) return ExchangeSteps(op, length, command, replyLength, reply);

  const std::uint32_t start = platform::Current().TickMs();
  int n = 0;
  const int r = ExchangeSteps(op, length, command, &n, reply);
  if (n >= 2) *replyLength = n;
  TraceApdu(op.slot, command, length, reply, n, r, platform::Current().TickMs() - start);
  return r;
}

int ExchangeApduText(Operation& op, int hexLength, const char* hexCommand, int* hexReplyLength,
                     char* hexReply) {
  if (hexLength < 0 || hexLength > kMaxApduHexCommand) {
    op.text.Replace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (hexCommand == nullptr || hexReplyLength == nullptr || hexReply == nullptr) return kErrParam;

  // The text ends at its terminator even when the caller counted further.
  const int available =
      static_cast<int>(std::find(hexCommand, hexCommand + hexLength, '\0') - hexCommand);
  std::uint8_t command[kTextCommandBytes] = {};
  WipeOnExit wipeCommand(command, sizeof command);
  // Pairs of hex digits, spaces between them allowed; anything else would
  // reach the card as some other command.
  const int length =
      IsHexPairs(hexCommand, available) ? HexDecode(hexCommand, command, available) : -1;
  if (length < 0) {
    op.text.Replace("capdu 格式错误");
    return kErrParam;
  }

  std::uint8_t reply[kMaxApduReply] = {};
  int replyLength = 0;
  const int r = ExchangeApdu(op, length, command, &replyLength, reply);
  if (r != kOk) return r;

  HexEncode(HexMode::Packed, reply, hexReply, replyLength);
  *hexReplyLength = 2 * replyLength;
  return kOk;
}

void SelectInterface(Operation& op, int code) {
  Slot slot = Slot::Other;
  switch (code) {
    case kInterfaceContact:
      slot = Slot::Contact;
      break;
    case kInterfaceContactless:
      slot = Slot::Contactless;
      break;
    case kInterfacePsam:
      slot = Slot::Psam;
      break;
    case kInterfaceSlot17:
      slot = Slot::Psam2;
      break;
    default:
      break;
  }
  op.slot = SlotNumber(slot);
  op.text.Clear();
}

int ResetSelectedCard(Operation& op, char* resetAnswerHex) {
  if (resetAnswerHex == nullptr) return kErrParam;

  // Cards that were just powered off need a moment before the next power-on.
  platform::Current().SleepMs(kPowerOnPauseMs);

  std::uint8_t answer[kResetAnswerSize] = {};
  int n = 0;
  const int r =
      op.linkDropped ? DroppedLink(op) : PowerOnSlot(op.slot, answer, kResetAnswerSize, &n);
  if (r != kOk) return op.slot == SlotNumber(Slot::Psam) ? kErrSam : r;
  if (n == 0) return kErrPort;

  HexEncode(HexMode::Packed, answer, resetAnswerHex, n);
  if (op.slot == SlotNumber(Slot::Contact)) {
    std::memcpy(op.resetAnswer, answer, static_cast<std::size_t>(n));
    *op.resetAnswerLength = n;
  }
  return kOk;
}

int ApduSecretOffset(const std::uint8_t* apdu, int length) {
  constexpr int kDataStart = 5;
  if (apdu == nullptr || length <= kDataStart) return length;
  const std::uint8_t cla = apdu[0];
  const std::uint8_t ins = apdu[1];
  const std::uint8_t p1 = apdu[2];
  const std::uint8_t lc = apdu[4];
  switch (ins) {
    case 0x20:  // VERIFY
    case 0x24:  // change or reset of the PIN (the reset's enciphered PIN block)
    case 0x2C:  // reset of the retry counter
    case 0x5E:  // change PIN, reload PIN
      return kDataStart;
    case 0xFA:
      // The PSAM enciphers the PIN block of a PIN reset together with a
      // challenge, 16 bytes or more; challenges alone are 8.
      if (cla == 0x80 && p1 == 0x00 && lc >= 16) return kDataStart;
      return length;
    default:
      return length;
  }
}

int CopyLastRecordHex(const Operation& op, char* text) {
  const char* const record = op.lastRecordHex;
  const auto length =
      static_cast<std::size_t>(std::find(record, record + kLastRecordHexSize - 1, '\0') - record);
  if (text != nullptr) {
    std::memcpy(text, record, length);
    text[length] = '\0';
  }
  return static_cast<int>(length) + 1;
}

}  // namespace kx
