// The message of every result code, as KXGetErrMessage gives it.
#pragma once

namespace kx {

// Longest text KXGetErrMessage writes, terminator included.
inline constexpr int kErrMessageSize = 545;

// Writes the message of `code` (with the ErrorText suffix where it belongs)
// into `message`, which holds kErrMessageSize bytes. Changes no state.
void FormatErrorMessage(int code, char* message);

}  // namespace kx
