#include "core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kx {

void SetTraceSink(TraceSink sink) {
  State.traceSink = sink;
}

void TraceLine::Add(const char* text) {
  while (*text != '\0') Put(*text++);
}

void TraceLine::Format(const char* format, ...) {
  char piece[64];
  va_list args;
  va_start(args, format);
  std::vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  Add(piece);
}

void TraceLine::Hex(const std::uint8_t* bytes, int count, int secretFrom) {
  for (int i = 0; i < count; ++i) {
    if (i > 0) Put(' ');
    if (i >= secretFrom) {
      Add("**");
    } else {
      Format("%02X", bytes[i]);
    }
  }
}

void TraceLine::Emit() {
  text_[used_] = '\0';
  if (full_) std::memcpy(text_ + used_, "...", 4);
  if (State.traceSink != nullptr) State.traceSink(text_);
}

void TraceLine::Put(char c) {
  // Room is kept for "..." and the terminator.
  if (used_ < kSize - 4) {
    text_[used_++] = c;
  } else {
    full_ = true;
  }
}

void TraceExportResultLine(const char* name, int result) {
  TraceLine line;
  line.Format("export %.48s = %d", name != nullptr ? name : "?", result);
  line.Emit();
}

void TraceTextLine(const char* text) {
  TraceLine line;
  line.Add(text != nullptr ? text : "");
  line.Emit();
}

}  // namespace kx
