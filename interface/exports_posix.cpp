// Exports that only the POSIX build of the library has.
#include <cstring>

#include "KX_ICCReader.h"
#include "interface/state.h"
#include "interface/status.h"
#include "platform/posix/posix_backend.h"

extern "C" {

KX_API int KX_CALL KXSetComDevice(int port, const char* devicePath) {
  using namespace kx;
  if (port < 1 || port > platform::posix::kMaxComPort) {
    ErrorTextFormat("KXSetComDevice 端口号 %d 超出范围(1-255)", port);
    return kErrParam;
  }
  if (devicePath != nullptr &&
      strnlen(devicePath, platform::posix::kMaxDevicePathLength + 1) >
          static_cast<std::size_t>(platform::posix::kMaxDevicePathLength)) {
    ErrorTextReplace("KXSetComDevice 设备路径超过255字节");
    return kErrParam;
  }
  platform::posix::SetComDevice(port, devicePath);
  return kOk;
}

}  // extern "C"
