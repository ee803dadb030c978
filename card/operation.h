// What one operation works with, handed down as an argument from the export
// that runs it: the card its commands address, where a failing step's words
// go, the user card's reset answer and the last record read (which its
// steps refresh), and the PIN the host handed over in advance. The export
// fills it from the library's process-wide state before the call and writes
// back what the steps changed after it, so no card or service function
// reaches for that state itself.
#pragma once

#include <cstdint>

#include "core/state.h"

namespace kx {

struct Operation {
  Operation(int slot, char* failureText, std::uint8_t* resetAnswer, int* resetAnswerLength,
            char* lastRecordHex)
      : slot(slot),
        text(failureText),
        resetAnswer(resetAnswer),
        resetAnswerLength(resetAnswerLength),
        lastRecordHex(lastRecordHex) {}

  // The reader slot the card commands go to (0 contact user card, 16 PSAM, ...).
  int slot;
  FailureText text;
  std::uint8_t* resetAnswer;  // kResetAnswerSize bytes
  int* resetAnswerLength;
  char* lastRecordHex;  // kLastRecordHexSize bytes
  // The first three bytes are presented to a PIN-guarded file; null when the
  // host has handed over no PIN.
  const std::uint8_t* presetPin = nullptr;

  // The reader drops the link after a failed master-file selection. The card
  // layer only records it here; the operation's frame powers off the card
  // that was addressed then and closes the link, and until it has, no
  // command of this operation reaches the reader.
  bool linkDropped = false;
  int droppedSlot = 0;

  void DropLink() {
    if (linkDropped) return;
    linkDropped = true;
    droppedSlot = slot;
  }
};

}  // namespace kx
