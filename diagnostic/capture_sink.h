// The diagnostic build's capture (docs/capture.md): where its lines go. The
// product has none of this.
#pragma once

#include <cstdint>
#include <string>

namespace kx::diagnostic {

// Opens the capture file at the first call (KX_CAPTURE, else the capture
// folder's file of this process, else none when only KX_TRACE is set) and
// installs the capture's backend. True when a capture file is open. Called
// with the library's lock held.
bool CaptureStart();
// True when a capture file is open.
bool CaptureOn();
// Milliseconds since the capture started.
std::uint32_t CaptureMs();
// Writes `line` and a line break in one write, so the file holds whole lines
// up to the moment the host stopped. Called with the library's lock held.
void CaptureWrite(const std::string& line);

// The platform seam, recording every byte: installed when the capture starts.
void InstallCaptureBackend();

}  // namespace kx::diagnostic
