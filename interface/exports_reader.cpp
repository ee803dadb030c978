// Exports of the reader: opening and releasing it, its status and identity,
// and the hexadecimal text conversions.
#include "KX_ICCReader.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"
#include "interface/export_call.h"
#include "reader/commands.h"

static_assert(KX_READER_MODEL_SIZE == kx::kReaderModelSize);
static_assert(KX_READER_VERSION_SIZE == kx::kReaderVersionSize);

extern "C" {

KX_API int KX_CALL GetHex(int mode, const unsigned char* bytes, char* text, int count) {
  kx::ExportCall call;
  return call.Result(kx::HexEncode(mode, bytes, text, count));
}

KX_API int KX_CALL GetASC(const char* text, unsigned char* bytes, int length) {
  kx::ExportCall call;
  return call.Result(kx::HexDecode(text, bytes, length));
}

KX_API int KX_CALL KXReaderInit(int* params, unsigned int* handleOut) {
  kx::ExportCall call;
  if (params == nullptr) {
    kx::ErrorTextReplace("KXReaderInit 参数为空");
    return call.Result(kx::kErrParam);
  }
  return call.Result(kx::ReaderInit(params[0], params[1], handleOut));
}

KX_API int KX_CALL KXReaderInitTest(int port, int baud) {
  kx::ExportCall call;
  return call.Result(kx::ReaderInit(port, baud, nullptr));
}

KX_API int KX_CALL GetReaderStatus(int /*reserved*/, char* status) {
  kx::ExportCall call;
  return call.Result(kx::QueryReaderStatus(call.op().slot, status));
}

KX_API int KX_CALL KXReaderPowerOff(int /*reserved*/) {
  kx::ExportCall call;
  return call.Result(kx::ReaderPowerOff(call.op().slot));
}

KX_API int KX_CALL GetReaderInfo(int /*reserved*/, char* model, char* version) {
  kx::ExportCall call;
  return call.Result(kx::ReaderInfo(model, version));
}

}  // extern "C"
