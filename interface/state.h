// Process-wide state of the library. Every object exists once per process, is
// zeroed (or set to its stated initial value) at load, and is never freed.
// The library takes no locks: hosts call it from one thread at a time.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr int kErrorTextSize = 500;  // 499 GBK bytes and the terminator
inline constexpr int kResetAnswerSize = 100;
inline constexpr int kLastRecordHexSize = 256;
inline constexpr int kPresetPinSize = 20;

// Explanation of the last failure, GBK. Written only through the operations
// below, which never let it exceed 499 bytes.
extern char ErrorText[kErrorTextSize];

// Slot of the card that card commands address: 0 contact user card, 255
// contactless, 16 PSAM, 17 and 1 passed through. Starts at 0.
extern int nIFDType;

// Last reset answer of the user card, for the card diversification factor.
extern std::uint8_t ResetAnswer[kResetAnswerSize];
extern int ResetAnswerLength;

// Last record read, as packed upper-case hex text.
extern char LastRecordHex[kLastRecordHexSize];

// PIN bytes handed over in advance by SetPin.
extern std::uint8_t PresetPin[kPresetPinSize];

// COM port of the last KXReaderInit or successful reader search. Starts at 1.
extern int ComPortNumber;

// ErrorText operations. A text that would not fit is cut at 499 bytes, never
// in the middle of a double-byte GBK character.
void ErrorTextReplace(const char* text);
// printf-style replace; the library's formats take one number or string.
void ErrorTextFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ErrorTextAppend(const char* text);
void ErrorTextClear();

// Puts every process-wide object back to its load-time value. Tests only: the
// product never calls it (nothing is reset between calls).
void ResetProcessState();

}  // namespace kx
