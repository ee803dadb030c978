// The diagnostic build's one addition to the library's objects: when the
// library is loaded with KX_TRACE=/path/file in the environment, the trace
// is appended to that file, one time-stamped line each. The product is
// linked without this file and reads no environment at all.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/trace.h"

namespace {

std::FILE* traceFile = nullptr;

// A time stamp, the line and its break: room for the longest trace line.
constexpr int kOutputSize = 4800;

// Called with the library's lock held, so one line is written at a time.
void AppendLine(const char* line) {
  static char out[kOutputSize];
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long milliseconds = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  const std::tm* local = std::localtime(&seconds);
  int length = 0;
  if (local != nullptr) {
    length = std::snprintf(out, sizeof out, "%02d:%02d:%02d.%03ld %s\n", local->tm_hour,
                           local->tm_min, local->tm_sec, milliseconds, line);
  } else {
    length = std::snprintf(out, sizeof out, "%s\n", line);
  }
  if (length <= 0) return;
  if (length >= kOutputSize) {
    length = kOutputSize - 1;
    out[length - 1] = '\n';
  }
  // One unbuffered write per line: lines from several processes appending
  // to the same file stay whole.
  std::fwrite(out, 1, static_cast<std::size_t>(length), traceFile);
}

struct TraceFromEnvironment {
  TraceFromEnvironment() {
    const char* path = std::getenv("KX_TRACE");
    if (path == nullptr || *path == '\0') return;
    traceFile = std::fopen(path, "a");
    if (traceFile == nullptr) return;
    std::setvbuf(traceFile, nullptr, _IONBF, 0);
    kx::SetTraceSink(&AppendLine);
    AppendLine("KX_ICCReader " KX_VERSION_TEXT " (diagnostic build): trace started");
  }
};

const TraceFromEnvironment traceFromEnvironment;

}  // namespace
