#include "reader/pin_pad.h"

#include <cstdint>
#include <cstring>

#include "core/result.h"
#include "core/wipe.h"
#include "link/hid_link.h"
#include "reader/frame.h"

namespace kx {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kAskPin = 'I';    // mode 1
constexpr std::uint8_t kAskEntry = 'E';  // any other mode
// Sent after a command that did not go out whole.
constexpr std::uint8_t kCancel = 0x83;
constexpr std::uint8_t kEtx = 0x03;
// The pad's answer: STX, the characters, ETX, within one read.
constexpr int kAnswerSize = 256;

}  // namespace

int ReadPinFromPad(int mode, char* pin) {
  if (PinPadPort.Open() != 1) return kErrPort;

  const std::uint8_t command[2] = {kEsc, mode == 1 ? kAskPin : kAskEntry};
  const int written = PinPadPort.Write(2, command);
  if (written != 1) {
    PinPadPort.Write(1, &kCancel);
    PinPadPort.Close();
    return written;
  }

  std::uint8_t answer[kAnswerSize] = {};
  char typed[kAnswerSize] = {};
  WipeOnExit wipeAnswer(answer, sizeof answer);
  WipeOnExit wipeTyped(typed, sizeof typed);

  const int got = PinPadPort.Read(answer, kAnswerSize, kPinPadTimeoutSeconds);
  if (got < 0) {
    PinPadPort.Close();
    return got;
  }
  PinPadPort.Close();

  answer[kAnswerSize - 1] = 0;  // the answer is read as text up to here
  const int count =
      ExtractBetween(kStx, kEtx, reinterpret_cast<const char*>(answer), typed, kAnswerSize);
  if (count < 1) return kErrComm;
  if (count < kPinLength) return kErrPinLength;
  if (pin == nullptr) return kErrParam;
  std::memset(pin, 0, 4);
  std::memcpy(pin, typed, kPinLength);
  pin[kPinLength] = '\0';
  return kOk;
}

}  // namespace kx
