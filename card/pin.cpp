#include "card/pin.h"

#include <cstring>

#include "card/apdu.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "core/wipe.h"
#include "reader/pin_pad.h"

namespace kx {

namespace {

constexpr int kPinBytes = 3;
// PresetPin holds 19 PIN bytes and the zero GetASC writes after them.
constexpr int kMaxPresetDigits = 2 * (kPresetPinSize - 1);
// 63C1 to 63CF: refused, tries left.
constexpr int kRefusedWithTriesFirst = -25551;
constexpr int kRefusedWithTriesLast = -25537;

bool IsSixCharacters(const char* pin) {
  return pin != nullptr && strnlen(pin, kPinLength + 1) == static_cast<std::size_t>(kPinLength);
}

// The six characters as three bytes, two characters a byte; the characters
// are not examined.
void PinToBytes(const char* pin, std::uint8_t* bytes) {
  std::uint8_t converted[kPinBytes + 1] = {};
  HexDecode(pin, converted, kPinLength);
  std::memcpy(bytes, converted, kPinBytes);
  WipeSecret(converted, sizeof converted);
}

// Sends a VERIFY or change-PIN command and reads a 63xx refusal as the tries
// left.
int PresentPin(Operation& op, CommandApdu& command, int* retries) {
  Response reply;
  const int r = Exchange(op, command, &reply);
  command.Wipe();
  if (r != kOk && reply.length == 2 && reply.bytes[0] == 0x63) {
    if (retries != nullptr) *retries = reply.bytes[1] & 0x0F;
    return kErrVerify;
  }
  return r;
}

}  // namespace

int PresetPinFromText(const char* text, std::uint8_t (&preset)[kPresetPinSize]) {
  if (text == nullptr) return -1;
  const int length = static_cast<int>(std::strlen(text));
  int digits = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] != ' ') ++digits;
  }
  if (digits > kMaxPresetDigits) return -1;
  std::uint8_t converted[kPresetPinSize + 1] = {};
  WipeOnExit wipe(converted, sizeof converted);
  const int count = HexDecode(text, converted, length);
  if (count < 0) return -1;
  // With the zero GetASC writes after the last byte; an empty text writes
  // nothing.
  if (count > 0) std::memcpy(preset, converted, static_cast<std::size_t>(count) + 1);
  return count;
}

int VerifyPin(Operation& op, const char* pin, int* retries) {
  if (!IsSixCharacters(pin)) return kErrParam;
  std::uint8_t bytes[kPinBytes];
  PinToBytes(pin, bytes);
  CommandApdu command = CommandApdu::WithData(0x00, 0x20, 0x00, 0x00, bytes, kPinBytes);
  WipeSecret(bytes, sizeof bytes);
  return PresentPin(op, command, retries);
}

int ChangePin(Operation& op, const char* oldPin, const char* newPin, int* retries) {
  if (!IsSixCharacters(oldPin)) {
    op.text.Replace("输入默认密码");
    return kErrParam;
  }
  if (!IsSixCharacters(newPin)) {
    op.text.Replace("输入新密码");
    return kErrParam;
  }
  std::uint8_t data[2 * kPinBytes + 1];
  PinToBytes(oldPin, data);
  data[kPinBytes] = 0xFF;
  PinToBytes(newPin, data + kPinBytes + 1);
  CommandApdu command = CommandApdu::WithData(0x80, 0x5E, 0x01, 0x00, data, sizeof data);
  WipeSecret(data, sizeof data);
  return PresentPin(op, command, retries);
}

int VerifyPinWithPad(Operation& op, int p1, int p2, int length, const std::uint8_t* pinBytes) {
  if (length < 0 || length > CommandApdu::kMaxData) {
    op.text.Replace("capdu 的长度超出范围");
    return kErrParam;
  }
  std::uint8_t data[CommandApdu::kMaxData] = {};
  WipeOnExit wipeData(data, sizeof data);
  if (length > 0 && pinBytes != nullptr)
    std::memcpy(data, pinBytes, static_cast<std::size_t>(length));
  const auto p1Byte = static_cast<std::uint8_t>(p1);
  const auto p2Byte = static_cast<std::uint8_t>(p2);

  Response reply;
  // Without a PIN handed over, the card is asked nothing the cardholder did
  // not type: each refusal would spend one of their tries.
  if (pinBytes != nullptr) {
    CommandApdu command = CommandApdu::WithData(0x00, 0x20, p1Byte, p2Byte, data, length);
    const int r = Exchange(op, command, &reply);
    command.Wipe();
    // 63C0 (no try left) and every other refusal go back as they are.
    if (r == kOk || r < kRefusedWithTriesFirst || r > kRefusedWithTriesLast) return r;
  }

  char typed[kPinLength + 1] = {};
  WipeOnExit wipeTyped(typed, sizeof typed);
  int r = ReadPinFromPad(1, typed);
  if (r != kOk) {
    op.text.Replace("密码键盘输入密码出错");
    return r;
  }
  std::uint8_t typedBytes[kPinBytes];
  PinToBytes(typed, typedBytes);
  std::memcpy(data, typedBytes, static_cast<std::size_t>(length < kPinBytes ? length : kPinBytes));
  WipeSecret(typedBytes, sizeof typedBytes);

  // A command of its own: assigning a new value would leave a temporary copy
  // of the typed PIN on the stack.
  CommandApdu retry = CommandApdu::WithData(0x00, 0x20, p1Byte, p2Byte, data, length);
  r = Exchange(op, retry, &reply);
  retry.Wipe();
  return r;
}

int CheckDigits(int length, const char* text) {
  if (text == nullptr) return length > 0 ? -2 : 0;
  for (int i = 0; i < length; ++i) {
    const signed char c = static_cast<signed char>(text[i]);
    if (c > '9') return -1;
    if (c < '0') return -2;
  }
  return 0;
}

}  // namespace kx
