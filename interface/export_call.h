// What every export does first: take the library's process-wide lock for the
// whole call, so that calls from several host threads are carried out one
// after another, each as if it had been alone. Internal routines never take
// it; an export that runs another export's work calls the routine, not the
// export.
#pragma once

#include "platform/platform.h"

namespace kx {

class ExportCall {
 public:
  ExportCall() { platform::LockLibrary(); }
  ~ExportCall() { platform::UnlockLibrary(); }
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;
};

}  // namespace kx
