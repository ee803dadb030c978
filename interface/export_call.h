// What every export does first: take the library's process-wide lock for the
// whole call, so that calls from several host threads are carried out one
// after another, each as if it had been alone. Internal routines never take
// it; an export that runs another export's work calls the routine, not the
// export.
//
// Exports hand their result back through Result(), which puts it in the
// trace (a single test when the trace is off).
#pragma once

#include "core/trace.h"
#include "platform/platform.h"

namespace kx {

class ExportCall {
 public:
  // `name` defaults to the export that made the object.
  explicit ExportCall(const char* name = __builtin_FUNCTION()) : name_(name) {
    platform::LockLibrary();
  }
  ~ExportCall() { platform::UnlockLibrary(); }
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;

  int Result(int result) const {
    TraceExportResult(name_, result);
    return result;
  }

 private:
  const char* name_;
};

}  // namespace kx
