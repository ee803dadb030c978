#include "interface/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kx {

char ErrorText[kErrorTextSize];
int nIFDType = 0;
std::uint8_t ResetAnswer[kResetAnswerSize];
int ResetAnswerLength = 0;
char LastRecordHex[kLastRecordHexSize];
std::uint8_t PresetPin[kPresetPinSize];
int ComPortNumber = 1;

namespace {

bool IsGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Copies `text` to `dest` (which has `room` bytes, terminator included),
// cutting before a character that would not fit whole.
void CopyWhole(char* dest, int room, const char* text) {
  int i = 0;
  while (text[i] != '\0') {
    const int width = (IsGbkLeadByte(static_cast<unsigned char>(text[i])) && text[i + 1] != '\0') ? 2 : 1;
    if (i + width > room - 1) break;
    dest[i] = text[i];
    if (width == 2) dest[i + 1] = text[i + 1];
    i += width;
  }
  dest[i] = '\0';
}

}  // namespace

void ErrorTextReplace(const char* text) { CopyWhole(ErrorText, kErrorTextSize, text ? text : ""); }

void ErrorTextFormat(const char* format, ...) {
  char scratch[kErrorTextSize * 2];
  va_list args;
  va_start(args, format);
  std::vsnprintf(scratch, sizeof scratch, format, args);
  va_end(args);
  ErrorTextReplace(scratch);
}

void ErrorTextAppend(const char* text) {
  const int used = static_cast<int>(std::strlen(ErrorText));
  CopyWhole(ErrorText + used, kErrorTextSize - used, text ? text : "");
}

void ErrorTextClear() { ErrorText[0] = '\0'; }

void ResetProcessState() {
  std::memset(ErrorText, 0, sizeof ErrorText);
  nIFDType = 0;
  std::memset(ResetAnswer, 0, sizeof ResetAnswer);
  ResetAnswerLength = 0;
  std::memset(LastRecordHex, 0, sizeof LastRecordHex);
  std::memset(PresetPin, 0, sizeof PresetPin);
  ComPortNumber = 1;
}

}  // namespace kx
