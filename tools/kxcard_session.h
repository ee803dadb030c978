// kxcard's commands that hold a reader session of their own: scan (every
// port, and what answers on it) and script (many APDUs in one session).
#pragma once

#include <string>
#include <vector>

#include "tools/kxcard_common.h"

namespace kxcard {

// Tries every serial port and the USB reader; a port `reader` maps to a
// device (--device, --sim) is tried too. Exit 0 when a reader answered.
int CommandScan(const ReaderChoice& reader);

// Runs the script in args[0] (a file, or "-" for stdin) on `reader`.
int CommandScript(const ReaderChoice& reader, const std::vector<std::string>& args);

}  // namespace kxcard
