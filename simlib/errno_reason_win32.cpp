// The reasons for the errno values the simulated platform fails with.
#include <cerrno>

#include "platform/posix/posix_backend.h"

namespace kx::platform::posix {

const char* ErrnoReason(int code) {
  switch (code) {
    case ENOENT:
      return "no such device";
    case EBUSY:
      return "device busy";
    case EACCES:
      return "access denied";
    case EIO:
      return "input/output error";
    case EINVAL:
      return "invalid setting";
    case ENOMEM:
      return "out of memory";
    case ENODEV:
      return "no such device";
    default:
      return "unknown error";
  }
}

}  // namespace kx::platform::posix
