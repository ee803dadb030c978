// Exports of the status vocabulary: KXGetErrMessage and KXGetLibVer.
#include "KX_ICCReader.h"
#include "core/messages.h"
#include "interface/export_call.h"

static_assert(KX_ERR_MESSAGE_SIZE == kx::kErrMessageSize);

extern "C" {

KX_API int KX_CALL KXGetErrMessage(int code, char* message) {
  kx::ExportCall call;
  if (message == nullptr) return call.Result(0);
  kx::FormatErrorMessage(code, message);
  return call.Result(0);
}

KX_API int KX_CALL KXGetLibVer(void) {
  kx::ExportCall call;
  return call.Result(20121227);
}

}  // extern "C"
