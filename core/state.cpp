#include "core/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

namespace kx {

// Constant-initialised, so it is in place before any load-time code runs.
constinit LibraryState State;

namespace {

bool IsGbkLeadByte(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

// Copies `text` to `dest` (which has `room` bytes, terminator included),
// cutting before a character that would not fit whole.
void CopyWhole(char* dest, int room, const char* text) {
  int i = 0;
  while (text[i] != '\0') {
    const int width =
        (IsGbkLeadByte(static_cast<unsigned char>(text[i])) && text[i + 1] != '\0') ? 2 : 1;
    if (i + width > room - 1) break;
    dest[i] = text[i];
    if (width == 2) dest[i + 1] = text[i + 1];
    i += width;
  }
  dest[i] = '\0';
}

}  // namespace

void FailureText::Replace(const char* text) {
  CopyWhole(text_, kErrorTextSize, text ? text : "");
}

void FailureText::FormatList(const char* format, va_list args) {
  char scratch[kErrorTextSize * 2];
  std::vsnprintf(scratch, sizeof scratch, format, args);
  Replace(scratch);
}

void FailureText::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatList(format, args);
  va_end(args);
}

void FailureText::Append(const char* text) {
  const int used = static_cast<int>(strnlen(text_, kErrorTextSize - 1));
  CopyWhole(text_ + used, kErrorTextSize - used, text ? text : "");
}

FailureTextKeeper::FailureTextKeeper(FailureText& text) : text_(text) {
  std::memcpy(held_, text.text(), sizeof held_);
  held_[kErrorTextSize - 1] = '\0';
}

FailureTextKeeper::~FailureTextKeeper() {
  std::memcpy(text_.buffer(), held_, sizeof held_);
}

void ErrorTextReplace(const char* text) {
  FailureText(ErrorText).Replace(text);
}

void ErrorTextFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FailureText(ErrorText).FormatList(format, args);
  va_end(args);
}

void ErrorTextAppend(const char* text) {
  FailureText(ErrorText).Append(text);
}

void ErrorTextClear() {
  ErrorText[0] = '\0';
}

void ResetProcessState() {
  // Built in place: a copy of a load-time object would put all of it in the
  // binary's initialised data.
  static_assert(std::is_trivially_destructible_v<LibraryState>);
  new (&State) LibraryState{};
}

}  // namespace kx
