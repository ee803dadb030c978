// Exports that only the POSIX build of the library has.
#include <cstring>

#include "KX_ICCReader.h"
#include "core/result.h"
#include "core/state.h"
#include "interface/export_call.h"
#include "platform/posix/posix_backend.h"

extern "C" {

KX_API int KX_CALL KXSetComDevice(int port, const char* devicePath) {
  using namespace kx;
  ExportCall call;
  if (port < 1 || port > kMaxComPort) {
    ErrorTextFormat("KXSetComDevice 端口号 %d 超出范围(1-255)", port);
    return call.Result(kErrParam);
  }
  if (devicePath != nullptr && strnlen(devicePath, kMaxDevicePathLength + 1) >
                                   static_cast<std::size_t>(kMaxDevicePathLength)) {
    ErrorTextReplace("KXSetComDevice 设备路径超过255字节");
    return call.Result(kErrParam);
  }
  platform::posix::SetComDevice(port, devicePath);
  return call.Result(kOk);
}

}  // extern "C"
