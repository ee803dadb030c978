#include <new>
#include <type_traits>

#include "platform/platform.h"
#include "platform/platform_state.h"

namespace kx {

constinit PlatformState PlatformSettings;

void ResetPlatformSettingsForTests() {
  platform::Backend* const installed = PlatformSettings.installedBackend;
  static_assert(std::is_trivially_destructible_v<PlatformState>);
  new (&PlatformSettings) PlatformState{};
  PlatformSettings.installedBackend = installed;
}

}  // namespace kx

namespace kx::platform {

Backend& Current() {
  Backend* installed = PlatformSettings.installedBackend;
  return installed != nullptr ? *installed : Native();
}

void SetBackend(Backend* backend) {
  PlatformSettings.installedBackend = backend;
}

}  // namespace kx::platform
