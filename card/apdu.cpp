// The APDU exchange. A T=0 card answers a command in one of three ways:
// with its reply and a final status word, with 61xx ("xx more bytes wait,
// fetch them with GET RESPONSE") or with 6Cxx ("wrong Le, send it again
// with Le = xx"). The exchange takes each of the two extra steps at most
// once, GET RESPONSE first, and hands anything else back as the card said it.
#include "card/apdu.h"

#include <algorithm>
#include <cstring>

#include "interface/state.h"
#include "interface/status.h"
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

// One APDU to the selected card. A reply without room for a status word
// counts as no reply at all.
int TransmitOnce(const std::uint8_t* command, int length, std::uint8_t* reply) {
  const int n = TransmitApdu(nIFDType, command, length, reply, kMaxApduReply);
  if (n < 0) return n;
  if (n < 2) return kErrPort;
  return n;
}

}  // namespace

int ExchangeApdu(int length, const std::uint8_t* command, int* replyLength, std::uint8_t* reply) {
  if (length < 1 || length > kMaxApduCommand) {
    ErrorTextReplace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (command == nullptr || replyLength == nullptr || reply == nullptr) return kErrParam;

  std::memset(reply, 0, 4);
  int n = TransmitOnce(command, length, reply);
  if (n < 0) return n;

  if (n == 2 && reply[0] == kSw1ResponseWaiting) {
    const std::uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, reply[1]};
    n = TransmitOnce(getResponse, 5, reply);
    if (n < 0) return n;
  }

  if (n == 2 && reply[0] == kSw1WrongLength) {
    std::uint8_t resend[kResendCopySize];
    std::memcpy(resend, command, static_cast<std::size_t>(length));
    resend[length - 1] = reply[1];
    n = TransmitOnce(resend, length, reply);
    if (n < 0) return n;
  }

  *replyLength = n;
  const int sw1 = reply[n - 2];
  const int sw2 = reply[n - 1];
  if (sw1 == 0x90 && sw2 == 0x00) return kOk;
  return StatusWordCode(sw1, sw2);
}

int ExchangeApduText(int hexLength, const char* hexCommand, int* hexReplyLength, char* hexReply) {
  if (hexLength < 0 || hexLength > kMaxApduHexCommand) {
    ErrorTextReplace("capdu 的长度超出范围");
    return kErrParam;
  }
  if (hexCommand == nullptr || hexReplyLength == nullptr || hexReply == nullptr) return kErrParam;

  // The text ends at its terminator even when the caller counted further.
  const int available =
      static_cast<int>(std::find(hexCommand, hexCommand + hexLength, '\0') - hexCommand);
  std::uint8_t command[kTextCommandBytes] = {};
  const int length = HexDecode(hexCommand, command, available);
  if (length < 0) {
    ErrorTextReplace("capdu 格式错误");
    return kErrParam;
  }

  std::uint8_t reply[kMaxApduReply] = {};
  int replyLength = 0;
  const int r = ExchangeApdu(length, command, &replyLength, reply);
  if (r != kOk) return r;

  HexEncode(1, reply, hexReply, replyLength);
  *hexReplyLength = 2 * replyLength;
  return kOk;
}

void SelectInterface(int code) {
  switch (code) {
    case 12:
      nIFDType = kSlotContact;
      break;
    case 13:
      nIFDType = kSlotContactless;
      break;
    case 14:
      nIFDType = kSlotPsam;
      break;
    case 15:
      nIFDType = 17;
      break;
    default:
      nIFDType = 1;
      break;
  }
  ErrorTextClear();
}

int ResetSelectedCard(char* resetAnswerHex) {
  if (resetAnswerHex == nullptr) return kErrParam;

  // Cards that were just powered off need a moment before the next power-on.
  platform::Current().SleepMs(kPowerOnPauseMs);

  std::uint8_t answer[kResetAnswerSize] = {};
  const int n = PowerOnSlot(nIFDType, answer, kResetAnswerSize);
  if (n == 0) return kErrPort;
  if (n < 0) return nIFDType == kSlotPsam ? kErrSam : n;

  HexEncode(1, answer, resetAnswerHex, n);
  if (nIFDType == kSlotContact) {
    std::memcpy(ResetAnswer, answer, static_cast<std::size_t>(n));
    ResetAnswerLength = n;
  }
  return kOk;
}

int CopyLastRecordHex(char* text) {
  const auto length = static_cast<std::size_t>(
      std::find(LastRecordHex, LastRecordHex + kLastRecordHexSize - 1, '\0') - LastRecordHex);
  if (text != nullptr) {
    std::memcpy(text, LastRecordHex, length);
    text[length] = '\0';
  }
  return static_cast<int>(length) + 1;
}

}  // namespace kx
