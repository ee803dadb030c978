// Process-wide state of the library that every layer shares: one object,
// created zeroed (or with its stated initial value) at load and never freed.
// The link keeps its handles (link/link_state.h) and the platform its
// settings (platform/platform_state.h) in objects of their own, in the
// layers that know what they mean; the test reset puts all three back.
//
// The objects hosts and documents know by name (ErrorText, nIFDType,
// ResetAnswer, ...) are references into it under those names.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace kx {

inline constexpr int kErrorTextSize = 500;  // 499 GBK bytes and the terminator
inline constexpr int kResetAnswerSize = 100;
inline constexpr int kLastRecordHexSize = 256;
inline constexpr int kPresetPinSize = 20;

// Receives one line of the trace (core/trace.h); null when the trace is off.
using TraceSink = void (*)(const char* line);

struct LibraryState {
  // Explanation of the last failure, GBK. Written only through the
  // operations below, which never let it exceed 499 bytes.
  char errorText[kErrorTextSize] = {};
  // Slot of the card that card commands address: 0 contact user card, 255
  // contactless, 16 PSAM, 17 and 1 passed through.
  int slot = 0;
  // Last reset answer of the user card, for the card diversification factor.
  std::uint8_t resetAnswer[kResetAnswerSize] = {};
  int resetAnswerLength = 0;
  // Last record read, as packed upper-case hex text.
  char lastRecordHex[kLastRecordHexSize] = {};
  // PIN bytes handed over in advance by SetPin.
  std::uint8_t presetPin[kPresetPinSize] = {};
  // Whether SetPin has stored a PIN since load: until it has, PresetPin's
  // zeros are nobody's PIN and are never presented to a card.
  bool presetPinStored = false;
  // COM port of the last KXReaderInit or successful reader search.
  int comPortNumber = 1;
  // Installed by the diagnostic build only.
  TraceSink traceSink = nullptr;
};

extern LibraryState State;

// The library's named objects.
inline char (&ErrorText)[kErrorTextSize] = State.errorText;
inline int& nIFDType = State.slot;
inline std::uint8_t (&ResetAnswer)[kResetAnswerSize] = State.resetAnswer;
inline int& ResetAnswerLength = State.resetAnswerLength;
inline char (&LastRecordHex)[kLastRecordHexSize] = State.lastRecordHex;
inline std::uint8_t (&PresetPin)[kPresetPinSize] = State.presetPin;
inline int& ComPortNumber = State.comPortNumber;

// A failure text: a buffer of kErrorTextSize bytes (ErrorText, or an
// operation's own) and the ways the library writes it. A text that would not
// fit is cut at 499 bytes, never in the middle of a double-byte GBK
// character.
class FailureText {
 public:
  explicit FailureText(char* buffer) : text_(buffer) {}
  void Replace(const char* text);
  // printf-style replace; the library's formats take one number or string.
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void FormatList(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
  void Append(const char* text);
  void Clear() { text_[0] = '\0'; }
  const char* text() const { return text_; }
  char* buffer() { return text_; }

 private:
  char* text_;
};

// Keeps a failure text across a step that would clear it (the power-off
// reply at the end of an operation): the text is taken when the guard is
// made and put back when it goes.
class FailureTextKeeper {
 public:
  explicit FailureTextKeeper(FailureText& text);
  ~FailureTextKeeper();
  FailureTextKeeper(const FailureTextKeeper&) = delete;
  FailureTextKeeper& operator=(const FailureTextKeeper&) = delete;

 private:
  FailureText& text_;
  char held_[kErrorTextSize];
};

// The same operations on ErrorText, for the layers that write it directly
// (the link, the frames and the reader commands).
void ErrorTextReplace(const char* text);
void ErrorTextFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ErrorTextAppend(const char* text);
void ErrorTextClear();

class ErrorTextKeeper {
 public:
  ErrorTextKeeper() : keep_(text_) {}
  ErrorTextKeeper(const ErrorTextKeeper&) = delete;
  ErrorTextKeeper& operator=(const ErrorTextKeeper&) = delete;

 private:
  FailureText text_{ErrorText};
  FailureTextKeeper keep_;
};

// Puts every value of this object back to its load-time state. Tests only;
// the link layer's ResetLibraryForTests closes open devices first and puts
// the link's and the platform's state back too.
void ResetProcessState();

}  // namespace kx
