// The size of CombinedData's text that the public header states per file.
#pragma once

namespace kx {

// The header's KX_COMBINED_TEXT_SIZE_ value for the file (its first four
// characters count); 0 for a file the header names no size for.
int StatedCombinedTextSize(const char* directory, const char* file);

}  // namespace kx
