// The trace: one line for every frame sent to the reader and received from
// it, every APDU with its status word and time, the PIN pad's dialogue and
// every export's result, handed to a sink. Each layer formats the lines of
// what it knows (the frames in reader/, the APDUs in card/); core keeps the
// sink and the line.
//
// The product installs no sink: each trace point is then a single test of a
// null pointer and nothing is formatted. The diagnostic build of the library
// installs one that appends to a file. PIN data never reach a line: the
// layers that format them write them as "**".
#pragma once

#include <cstdint>

#include "core/state.h"

namespace kx {

// Installs `sink` (nullptr: the trace is off). The sink receives each
// finished line, without a line break, while the export that made it holds
// the library's lock.
void SetTraceSink(TraceSink sink);

inline bool TraceOn() {
  return State.traceSink != nullptr;
}

// One line of the trace, built piece by piece and handed to the sink whole.
// It holds the longest frame the link reads (1024 bytes, up to four
// characters each) with its label; a longer line ends in "...".
class TraceLine {
 public:
  void Add(const char* text);
  void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Bytes as spaced hex, those from `secretFrom` on as "**".
  void Hex(const std::uint8_t* bytes, int count, int secretFrom);
  // Hands the line to the sink (when there is one).
  void Emit();

 private:
  static constexpr int kSize = 4608;
  void Put(char c);

  char text_[kSize];
  int used_ = 0;
  bool full_ = false;
};

// An export's result.
void TraceExportResultLine(const char* name, int result);
inline void TraceExportResult(const char* name, int result) {
  if (TraceOn()) TraceExportResultLine(name, result);
}

// A line a layer formatted itself (the link's failed open with the operating
// system's reason); cut like every other line.
void TraceTextLine(const char* text);
inline void TraceText(const char* text) {
  if (TraceOn()) TraceTextLine(text);
}

}  // namespace kx
