// The Windows simulator DLL's stand-in for the POSIX backend's header: the
// simulated platform fails with errno values and takes their reasons from
// there, and that is all it needs of it (simlib/errno_reason_win32.cpp).
#pragma once

namespace kx::platform::posix {

// A short English reason for an errno value; never null.
const char* ErrnoReason(int code);

}  // namespace kx::platform::posix
