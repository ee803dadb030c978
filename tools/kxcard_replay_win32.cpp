// kxcard replay needs kx-sim on a pseudo-terminal: Linux only.
#include <cstdio>

#include "tools/kxcard_replay.h"

namespace kxcard {

void PrepareReplay() {}

// On Windows the host's DLL is swapped for diag\KX_ICCReader.dll, which
// captures by itself.
void CaptureTo(const std::string&, bool) {}

int CommandReplay(const std::string&, const std::string&, const std::string&) {
  std::fprintf(stderr, "kxcard replay: replays run on Linux (kx-sim plays the device there)\n");
  return 2;
}

}  // namespace kxcard
