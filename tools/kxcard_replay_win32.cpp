// kxcard replay needs kx-sim on a pseudo-terminal: Linux only. --capture
// works as on Linux: the copy of kxcard beside the diagnostic DLL
// (diag\kxcard.exe, which -v runs) inherits where to capture.
#include <windows.h>

#include <cstdio>

#include "tools/kxcard_replay.h"

namespace kxcard {

void PrepareReplay() {}

void CaptureTo(const std::string& file, bool verbose) {
  SetEnvironmentVariableA("KX_CAPTURE", file.c_str());
  // Without -v no trace file: its lines go into the capture.
  if (!verbose) SetEnvironmentVariableA("KX_TRACE", "");
}

int CommandReplay(const std::string&, const std::string&, const std::string&) {
  std::fprintf(stderr, "kxcard replay: replays run on Linux (kx-sim plays the device there)\n");
  return 2;
}

}  // namespace kxcard
