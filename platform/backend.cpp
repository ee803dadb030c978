#include "core/state.h"
#include "platform/platform.h"

namespace kx::platform {

Backend& Current() {
  Backend* installed = State.platform.installedBackend;
  return installed != nullptr ? *installed : Native();
}

void SetBackend(Backend* backend) {
  State.platform.installedBackend = backend;
}

}  // namespace kx::platform
