// What every export does first: take the library's process-wide lock for the
// whole call, so that calls from several host threads are carried out one
// after another, each as if it had been alone. Internal routines never take
// it; an export that runs another export's work calls the routine, not the
// export.
//
// The call also holds the operation the export runs: filled from the
// library's process-wide state (the selected slot, ErrorText, the reset
// answer, the last record, the PIN handed over) when the call starts, and
// written back when it ends, after the link a failed master-file selection
// dropped has been closed. This is the one place that reads and writes that
// state for the card and service layers.
//
// Exports hand their result back through Result(), which puts it in the
// trace (a single test when the trace is off).
#pragma once

#include "card/operation.h"
#include "core/state.h"
#include "core/trace.h"
#include "platform/platform.h"
#include "services/file_access.h"

namespace kx {

class ExportCall {
 public:
  // `name` defaults to the export that made the object.
  explicit ExportCall(const char* name = __builtin_FUNCTION())
      : name_((platform::LockLibrary(), name)),
        op_(nIFDType, ErrorText, ResetAnswer, &ResetAnswerLength, LastRecordHex) {
    op_.presetPin = State.presetPinStored ? PresetPin : nullptr;
  }
  ~ExportCall() {
    CloseDroppedLink(op_);
    nIFDType = op_.slot;
    platform::UnlockLibrary();
  }
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;

  Operation& op() { return op_; }

  int Result(int result) const {
    TraceExportResult(name_, result);
    return result;
  }

 private:
  const char* name_;
  Operation op_;
};

}  // namespace kx
