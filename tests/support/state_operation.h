// An operation over the library's process-wide state, made and ended as an
// export makes and ends one, for tests that call the card and service
// routines directly: Op() converts to the Operation& they take.
#pragma once

#include "card/operation.h"
#include "core/state.h"
#include "services/file_access.h"

namespace kx::test {

class StateOperation {
 public:
  StateOperation() : op_(nIFDType, ErrorText, ResetAnswer, &ResetAnswerLength, LastRecordHex) {
    op_.presetPin = State.presetPinStored ? PresetPin : nullptr;
  }
  ~StateOperation() {
    CloseDroppedLink(op_);
    nIFDType = op_.slot;
  }
  StateOperation(const StateOperation&) = delete;
  StateOperation& operator=(const StateOperation&) = delete;

  operator Operation&() { return op_; }

 private:
  Operation op_;
};

inline StateOperation Op() {
  return {};
}

}  // namespace kx::test
