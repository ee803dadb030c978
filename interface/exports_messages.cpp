// Exports of the status vocabulary: KXGetErrMessage and KXGetLibVer.
#include "KX_ICCReader.h"
#include "interface/status.h"

extern "C" {

KX_API int KX_CALL KXGetErrMessage(int code, char* message) {
  if (message == nullptr) return 0;
  kx::FormatErrorMessage(code, message);
  return 0;
}

KX_API int KX_CALL KXGetLibVer(void) { return 20121227; }

}  // extern "C"
