// The link's lines in the trace.
#pragma once

namespace kx {

namespace platform {
class Backend;
}  // namespace platform

// Notes that `device` (e.g. "COM3", "USB reader") does not open, with the
// operating system's reason for the last failure `os` saw. Nothing when the
// trace is off.
void TraceOpenFailure(platform::Backend& os, const char* device);

}  // namespace kx
