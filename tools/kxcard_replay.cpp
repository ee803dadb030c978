#include "tools/kxcard_replay.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <type_traits>
#include <utility>
#include <vector>

#include "KX_ICCReader.h"
#include "capture/calls.h"
#include "capture/export_shapes.h"
#include "capture/kxcap.h"
#include "tools/platform_tools.h"

namespace kxcard {

namespace {

using kx::capture::Arg;
using kx::capture::Capture;
using kx::capture::Event;
using kx::capture::Kind;

constexpr const char* kReplayCaptureVariable = "KXCARD_REPLAY_CAPTURE";

template <typename T>
T ArgAs(const Arg& arg) {
  if constexpr (std::is_pointer_v<T>) {
    return static_cast<T>(const_cast<void*>(arg.pointer));
  } else {
    return static_cast<T>(arg.number);
  }
}

template <typename... A, std::size_t... I>
int InvokeWith(int(KX_CALL* function)(A...), std::vector<Arg>& args, std::index_sequence<I...>) {
  return function(ArgAs<A>(args[I])...);
}

template <typename... A>
int Invoke(int(KX_CALL* function)(A...), std::vector<Arg>& args) {
  return InvokeWith(function, args, std::index_sequence_for<A...>{});
}

struct ReplayRow {
  const char* name;
  int (*call)(std::vector<Arg>& args);
};

#define KX_REPLAY_ROW(name, shape, params, args) \
  {#name, [](std::vector<Arg>& a) { return Invoke(&name, a); }},
const ReplayRow kRows[] = {KX_CAPTURED_EXPORTS(KX_REPLAY_ROW)
#if !defined(_WIN32)
                               KX_CAPTURED_POSIX_EXPORTS(KX_REPLAY_ROW)
#endif
};
#undef KX_REPLAY_ROW

const ReplayRow* FindRow(const std::string& name) {
  for (const ReplayRow& row : kRows) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

bool ReadCapture(const std::string& path, Capture* capture, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!kx::capture::ParseCapture(text, capture, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

// ErrorText after the last call, from the capture the diagnostic build is
// writing of this replay.
std::string LastErrorText() {
  const char* path = std::getenv(kReplayCaptureVariable);
  Capture capture;
  std::string error;
  if (path == nullptr || !ReadCapture(path, &capture, &error)) return "(unknown)";
  for (auto it = capture.events.rbegin(); it != capture.events.rend(); ++it) {
    if (it->kind == Kind::kReturn) return it->text;
  }
  return "(unknown)";
}

std::string Printable(const std::string& text) {
  std::string out;
  kx::capture::AppendText(out, text.data(), text.size());
  return out;
}

}  // namespace

void PrepareReplay() {
  if (std::getenv(kReplayCaptureVariable) != nullptr) return;
  char path[] = "/tmp/kxcard-replay-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return;
  close(fd);
  setenv(kReplayCaptureVariable, path, 1);
  setenv("KX_CAPTURE", path, 1);
  // The replay's own trace would only repeat the capture.
  setenv("KX_TRACE", "", 1);
}

void CaptureTo(const std::string& file, bool verbose) {
  setenv("KX_CAPTURE", file.c_str(), 1);
  if (!verbose) setenv("KX_TRACE", "", 1);
}

int CommandReplay(const std::string& argv0, const std::string& file, const std::string& simArgs) {
  Capture capture;
  std::string error;
  if (!ReadCapture(file, &capture, &error)) {
    std::fprintf(stderr, "kxcard replay: %s\n", error.c_str());
    return 2;
  }
  // The COM ports the session opened, to map to the replaying kx-sim.
  std::set<int> ports;
  for (const Event& e : capture.events) {
    if (e.kind == Kind::kSerialOpen) ports.insert(e.port);
  }
  Simulator sim;
  if (!StartSimulator(argv0, "--replay " + file + " --replay-speed fast " + simArgs, &sim,
                      &error)) {
    std::fprintf(stderr, "kxcard replay: cannot start kx-sim: %s\n", error.c_str());
    return 2;
  }
  for (int port : ports) {
    int code = 0;
    if (!MapComPort(port, sim.devicePath, &code)) {
      std::fprintf(stderr, "kxcard replay: COM port %d cannot be replayed here (%d)\n", port, code);
      StopSimulator(&sim);
      return 2;
    }
  }

  int calls = 0;
  int status = 0;
  for (std::size_t i = 0; i < capture.events.size() && status == 0; ++i) {
    const Event& call = capture.events[i];
    // kxcard's own mapping of the port is not part of the host's session.
    if (call.kind != Kind::kCall || call.name == "KXSetComDevice") continue;
    const Event* recorded = nullptr;
    for (std::size_t j = i + 1; j < capture.events.size(); ++j) {
      if (capture.events[j].kind == Kind::kReturn && capture.events[j].seq == call.seq) {
        recorded = &capture.events[j];
        break;
      }
    }
    const std::string where = "call " + std::to_string(call.seq) + " " + call.name + " (line " +
                              std::to_string(call.line) + ")";
    const ReplayRow* row = FindRow(call.name);
    const char* shape = kx::capture::ShapeOf(call.name.c_str());
    kx::capture::ReplayArgs args;
    if (row == nullptr || shape == nullptr || !args.Build(shape, call.values, &error)) {
      std::fprintf(stderr, "kxcard replay: %s: %s\n", where.c_str(),
                   row == nullptr ? "no such export here" : error.c_str());
      status = 2;
      break;
    }
    const int result = row->call(args.args());
    ++calls;
    if (recorded == nullptr) {
      std::printf("the recording ends inside %s; it returned %d here\n", where.c_str(), result);
      status = 1;
      break;
    }
    std::string outputs;
    kx::capture::AppendReturnValues(outputs, shape, args.args().data(),
                                    static_cast<int>(args.args().size()), result);
    std::string recordedOutputs;
    for (const std::string& token : recorded->tokens) recordedOutputs += " " + token;
    const std::string errorText = LastErrorText();
    if (result != recorded->result) {
      std::printf("first difference: %s: result recorded %lld, replayed %d\n", where.c_str(),
                  static_cast<long long>(recorded->result), result);
      status = 1;
    } else if (outputs != recordedOutputs) {
      std::printf("first difference: %s: outputs\n  recorded:%s\n  replayed:%s\n", where.c_str(),
                  recordedOutputs.c_str(), outputs.c_str());
      status = 1;
    } else if (errorText != recorded->text) {
      std::printf("first difference: %s: ErrorText\n  recorded: %s\n  replayed: %s\n",
                  where.c_str(), Printable(recorded->text).c_str(), Printable(errorText).c_str());
      status = 1;
    }
  }
  StopSimulator(&sim);
  if (const char* own = std::getenv(kReplayCaptureVariable); own != nullptr) unlink(own);
  if (status == 0) std::printf("same (%d calls)\n", calls);
  return status;
}

}  // namespace kxcard
