// Exports of the reader: opening and releasing it, its status and identity,
// and the hexadecimal text conversions.
#include "KX_ICCReader.h"
#include "interface/state.h"
#include "interface/status.h"
#include "reader/commands.h"
#include "reader/frame.h"

extern "C" {

KX_API int KX_CALL GetHex(int mode, const unsigned char* bytes, char* text, int count) {
  return kx::HexEncode(mode, bytes, text, count);
}

KX_API int KX_CALL GetASC(const char* text, unsigned char* bytes, int length) {
  return kx::HexDecode(text, bytes, length);
}

KX_API int KX_CALL KXReaderInit(int* params, unsigned int* handleOut) {
  if (params == nullptr) {
    kx::ErrorTextReplace("KXReaderInit 参数为空");
    return kx::kErrParam;
  }
  return kx::ReaderInit(params[0], params[1], handleOut);
}

KX_API int KX_CALL KXReaderInitTest(int port, int baud) {
  return kx::ReaderInit(port, baud, nullptr);
}

KX_API int KX_CALL GetReaderStatus(int /*reserved*/, char* status) {
  return kx::QueryReaderStatus(status);
}

KX_API int KX_CALL KXReaderPowerOff(int /*reserved*/) {
  return kx::ReaderPowerOff();
}

KX_API int KX_CALL GetReaderInfo(int /*reserved*/, char* model, char* version) {
  return kx::ReaderInfo(model, version);
}

}  // extern "C"
