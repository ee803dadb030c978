// The diagnostic build's exports: each records its call (the arguments) and
// its return (the result, every output, ErrorText after the call) around
// the library's own function. The build renames the library's functions to
// kxreal_NAME in a copy of the interface objects (cmake/diagnostic.cmake),
// so the names hosts call are these.
#include <array>
#include <atomic>
#include <string>

#include "KX_ICCReader.h"
#include "capture/calls.h"
#include "capture/export_shapes.h"
#include "core/state.h"
#include "diagnostic/capture_sink.h"
#include "platform/platform.h"

namespace kx::diagnostic {

namespace {

using capture::Arg;

inline Arg ToArg(int value) {
  return {value, nullptr};
}
inline Arg ToArg(const void* pointer) {
  return {0, pointer};
}
template <typename... T>
std::array<Arg, sizeof...(T)> Args(T... values) {
  return {ToArg(values)...};
}

std::atomic<long> lastCall{0};

template <typename Call, std::size_t N>
int Captured(const char* name, const char* shape, Call real, const std::array<Arg, N>& args) {
  platform::LockLibrary();
  if (!CaptureStart()) {
    platform::UnlockLibrary();
    return real();
  }
  const long seq = ++lastCall;
  std::string line =
      std::string("call ") + std::to_string(CaptureMs()) + " " + std::to_string(seq) + " " + name;
  capture::AppendCallValues(line, shape, args.data(), static_cast<int>(N));
  CaptureWrite(line);
  platform::UnlockLibrary();

  const int result = real();

  platform::LockLibrary();
  line = std::string("return ") + std::to_string(CaptureMs()) + " " + std::to_string(seq) + " " +
         name + " " + std::to_string(result);
  capture::AppendReturnValues(line, shape, args.data(), static_cast<int>(N), result);
  line += " error=";
  capture::AppendText(line, ErrorText, std::char_traits<char>::length(ErrorText));
  CaptureWrite(line);
  platform::UnlockLibrary();
  return result;
}

}  // namespace

}  // namespace kx::diagnostic

extern "C" {

#define KX_DECLARE_REAL(name, shape, params, args) int KX_CALL kxreal_##name params;
#define KX_DEFINE_CAPTURED(name, shape, params, args)                                 \
  KX_API int KX_CALL name params {                                                    \
    return kx::diagnostic::Captured(                                                  \
        #name, shape, [&] { return kxreal_##name args; }, kx::diagnostic::Args args); \
  }

KX_CAPTURED_EXPORTS(KX_DECLARE_REAL)
KX_CAPTURED_EXPORTS(KX_DEFINE_CAPTURED)
#if !defined(_WIN32)
KX_CAPTURED_POSIX_EXPORTS(KX_DECLARE_REAL)
KX_CAPTURED_POSIX_EXPORTS(KX_DEFINE_CAPTURED)
#endif

}  // extern "C"
