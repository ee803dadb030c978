// The cardholder's PIN: handed over in advance (SetPin, kept in PresetPin),
// typed on the PIN pad, or passed with the call, and presented to the card
// with VERIFY or the change-PIN command. Results follow core/result.h.
#pragma once

#include <cstdint>

#include "card/operation.h"

namespace kx {

// SetPin's work: the hex digits of `text` as bytes into `preset` (PresetPin).
// Returns the byte count, or -1 for a text GetASC refuses or one of more
// than 38 digits (PresetPin holds 19 bytes and a zero); `preset` is left as
// it was then, and an empty text writes nothing.
int PresetPinFromText(const char* text, std::uint8_t (&preset)[kPresetPinSize]);

// VERIFY (00 20 00 00 03) with the three bytes of a six-character PIN. 0
// accepted; -11 refused with 63xx, the tries left in *retries; -12 for a PIN
// that is not six characters (ErrorText untouched); else the exchange's code.
int VerifyPin(Operation& op, const char* pin, int* retries);

// Change PIN (80 5E 01 00 07 old FF new). As VerifyPin; a PIN of the wrong
// length gives -12 with "输入默认密码" (old) or "输入新密码" (new).
int ChangePin(Operation& op, const char* oldPin, const char* newPin, int* retries);

// VERIFY 00 20 P1 P2 Lc with `length` bytes of `pinBytes`. When the card
// refuses with tries left (63C1 to 63CF) the PIN is asked once on the pad
// and sent again in place of the first three bytes. Null `pinBytes` (no PIN
// handed over) asks the pad first and sends only what was typed. 0
// accepted; else the code of the last exchange, or the pad's (with
// "密码键盘输入密码出错").
int VerifyPinWithPad(Operation& op, int p1, int p2, int length, const std::uint8_t* pinBytes);

// 0 when all `length` characters are '0' to '9'; -1 when the first one that
// is not is above '9', -2 when it is below '0' (bytes from 80 hex up, such as
// a GBK lead byte, count as below).
int CheckDigits(int length, const char* text);

}  // namespace kx
