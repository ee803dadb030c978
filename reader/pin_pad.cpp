#include "reader/pin_pad.h"

#include <cstdint>
#include <cstring>

#include "core/result.h"
#include "core/trace.h"
#include "core/wipe.h"
#include "link/frame_bytes.h"
#include "link/hid_link.h"
#include "link/link_result.h"
#include "reader/frame.h"

namespace kx {

namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kAskPin = 'I';    // mode 1
constexpr std::uint8_t kAskEntry = 'E';  // any other mode
// Sent after a command that did not go out whole.
constexpr std::uint8_t kCancel = 0x83;
// The pad's answer: STX, the characters, ETX, within one read.
constexpr int kAnswerSize = 256;

// The PIN pad's answer in the trace: how many characters came, never which.
void TracePinPad(int mode, int characters, int result) {
  if (!TraceOn()) return;
  TraceLine line;
  line.Format("pin pad > ESC %c < ", mode == 1 ? 'I' : 'E');
  if (characters > 0) {
    line.Add("<STX>");
    for (int i = 0; i < characters; ++i) line.Add(i == 0 ? "**" : " **");
    line.Add("<ETX>");
  } else {
    line.Add("no characters");
  }
  line.Format(" = %d", result);
  line.Emit();
}

}  // namespace

int ReadPinFromPad(int mode, char* pin) {
  if (!PinPadPort.Open().ok()) {
    TracePinPad(mode, 0, kErrPort);
    return kErrPort;
  }

  const std::uint8_t command[2] = {kEsc, mode == 1 ? kAskPin : kAskEntry};
  if (!PinPadPort.Write(command, 2).ok()) {
    PinPadPort.Write(&kCancel, 1);
    PinPadPort.Close();
    TracePinPad(mode, 0, kErrPort);
    return kErrPort;
  }

  std::uint8_t answer[kAnswerSize] = {};
  char typed[kAnswerSize] = {};
  WipeOnExit wipeAnswer(answer, sizeof answer);
  WipeOnExit wipeTyped(typed, sizeof typed);

  const LinkResult got = PinPadPort.Read(answer, kAnswerSize, kPinPadTimeoutSeconds);
  const int code = got.ok() ? kOk : LinkReadCode(got.status, LinkSide::Hid);
  if (code != kOk) {
    PinPadPort.Close();
    TracePinPad(mode, 0, code);
    return code;
  }
  PinPadPort.Close();

  answer[kAnswerSize - 1] = 0;  // the answer is read as text up to here
  const int count =
      ExtractBetween(kStx, kEtx, reinterpret_cast<const char*>(answer), typed, kAnswerSize);
  const int result = count < 1 ? kErrComm : count < kPinLength ? kErrPinLength : kOk;
  TracePinPad(mode, count < 1 ? 0 : count, result);
  if (result != kOk) return result;
  if (pin == nullptr) return kErrParam;
  std::memset(pin, 0, 4);
  std::memcpy(pin, typed, kPinLength);
  pin[kPinLength] = '\0';
  return kOk;
}

}  // namespace kx
