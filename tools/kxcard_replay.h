// kxcard replay FILE: runs the export calls of a capture again, against the
// library, with kx-sim playing the recorded device side, and compares every
// result, output and ErrorText with the recording.
#pragma once

#include <string>

namespace kxcard {

// Before anything else: a replay runs over the library's diagnostic build,
// which tells the failure text (ErrorText) of each call. Sets what the
// diagnostic build needs and returns; RunWithTrace then runs kxcard again.
void PrepareReplay();

// --capture FILE: the diagnostic build captures this run to FILE; with -v
// the trace still goes to stderr.
void CaptureTo(const std::string& file, bool verbose);

// Prints "same" (exit status 0) or the first difference (1); 2 when the
// capture cannot be read or replayed.
int CommandReplay(const std::string& argv0, const std::string& file, const std::string& simArgs);

}  // namespace kxcard
