// The PIN pad dialogue: one command to the pad on its own USB HID link, one
// framed answer back (STX, the typed characters, ETX). Results follow
// core/result.h.
#pragma once

namespace kx {

inline constexpr int kPinLength = 6;
// The pad waits this long for the cardholder.
inline constexpr int kPinPadTimeoutSeconds = 60;

// Asks the pad for a PIN: ESC 'I' for mode 1, ESC 'E' for any other mode.
// On success writes the first six typed characters and a NUL into `pin`
// (7 bytes) and returns 0. -2 when no pad opens or the command could not be
// written (the pad then gets the byte 83), -4 for no valid answer (time-out,
// Escape, no STX or ETX), -15 for fewer than six characters. Every copy of
// the typed characters the library made is wiped before it returns.
int ReadPinFromPad(int mode, char* pin);

}  // namespace kx
