#include "platform/platform.h"

namespace kx::platform {
namespace {
Backend* installed = nullptr;
}  // namespace

Backend& Current() { return installed != nullptr ? *installed : Native(); }

void SetBackend(Backend* backend) { installed = backend; }

}  // namespace kx::platform
